// The registry (keys, DWORD and string values) and the Rtl string routines.
#include "internal.h"

#include <map>
#include <optional>

namespace hk {
namespace {

struct Value {
    ULONG type;
    std::vector<uint8_t> data;
};
std::mutex g_regLock;
std::map<std::u16string, std::map<std::u16string, Value>> g_keys;  // lower-cased names
std::optional<NTSTATUS> g_failNext;

}  // namespace

std::u16string ToU16(std::string_view s) { return std::u16string(s.begin(), s.end()); }

std::string ToUtf8(std::u16string_view s) {
    std::string out;
    for (char16_t c : s) out += (c < 128) ? static_cast<char>(c) : '?';
    return out;
}

std::u16string ServiceKeyPath(std::u16string_view service) {
    return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + std::u16string(service);
}

void RegistryCreateKey(std::u16string_view key) {
    std::lock_guard<std::mutex> guard(g_regLock);
    g_keys[detail::Lower(key)];
}

void RegistryDeleteKey(std::u16string_view key) {
    std::lock_guard<std::mutex> guard(g_regLock);
    g_keys.erase(detail::Lower(key));
}

void RegistrySetDword(std::u16string_view key, std::u16string_view name, uint32_t value) {
    std::lock_guard<std::mutex> guard(g_regLock);
    Value v{REG_DWORD, std::vector<uint8_t>(4)};
    std::memcpy(v.data.data(), &value, 4);
    g_keys[detail::Lower(key)][detail::Lower(name)] = v;
}

void RegistrySetString(std::u16string_view key, std::u16string_view name, std::u16string_view value) {
    std::lock_guard<std::mutex> guard(g_regLock);
    Value v{REG_SZ, std::vector<uint8_t>((value.size() + 1) * 2)};
    std::memcpy(v.data.data(), value.data(), value.size() * 2);
    g_keys[detail::Lower(key)][detail::Lower(name)] = v;
}

void RegistryDeleteValue(std::u16string_view key, std::u16string_view name) {
    std::lock_guard<std::mutex> guard(g_regLock);
    auto it = g_keys.find(detail::Lower(key));
    if (it != g_keys.end()) it->second.erase(detail::Lower(name));
}

void RegistryFailNextQuery(NTSTATUS status) {
    std::lock_guard<std::mutex> guard(g_regLock);
    g_failNext = status;
}

void RegistryReset() {
    std::lock_guard<std::mutex> guard(g_regLock);
    g_keys.clear();
    g_failNext.reset();
}

namespace detail {

std::u16string Lower(std::u16string_view s) {
    std::u16string out(s);
    for (auto& c : out)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    return out;
}

std::u16string FromWide(PCWSTR s) {
    std::u16string out;
    if (s)
        for (const WCHAR* p = s; *p; ++p) out += static_cast<char16_t>(*p);
    return out;
}

std::u16string FromUnicode(const UNICODE_STRING* s) {
    if (!s->Buffer) return {};
    return std::u16string(reinterpret_cast<const char16_t*>(s->Buffer), s->Length / 2);
}

}  // namespace detail
}  // namespace hk

using namespace hk;

// Values are copied straight into EntryContext for RTL_QUERY_REGISTRY_DIRECT
// when they are REG_DWORD, or binary of at most four bytes. This kernel does
// not convert strings for direct queries: such a value is reported as
// STATUS_OBJECT_TYPE_MISMATCH, as a type-checked query would be.
extern "C" NTSTATUS RtlQueryRegistryValues(ULONG relativeTo, PCWSTR path, PRTL_QUERY_REGISTRY_TABLE table, PVOID,
                                           PVOID) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        ReportViolation("RtlQueryRegistryValues", "called at IRQL " + std::to_string(KeGetCurrentIrql()));
    std::lock_guard<std::mutex> guard(g_regLock);
    if (g_failNext) {
        NTSTATUS s = *g_failNext;
        g_failNext.reset();
        return s;
    }
    ULONG base = relativeTo & ~static_cast<ULONG>(RTL_REGISTRY_OPTIONAL);
    if (!path || !table || (base != RTL_REGISTRY_ABSOLUTE && base != RTL_REGISTRY_SERVICES))
        return STATUS_INVALID_PARAMETER;
    std::u16string key = detail::FromWide(path);
    if (base == RTL_REGISTRY_SERVICES) key = ServiceKeyPath(key);
    auto k = g_keys.find(detail::Lower(key));
    if (k == g_keys.end())
        return (relativeTo & RTL_REGISTRY_OPTIONAL) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
    for (auto* e = table; e->QueryRoutine || e->Name; ++e) {
        if (!(e->Flags & RTL_QUERY_REGISTRY_DIRECT) || !e->Name || !e->EntryContext) return STATUS_INVALID_PARAMETER;
        auto v = k->second.find(detail::Lower(detail::FromWide(e->Name)));
        ULONG type;
        const void* data;
        ULONG length;
        if (v != k->second.end()) {
            type = v->second.type;
            data = v->second.data.data();
            length = static_cast<ULONG>(v->second.data.size());
        } else if (e->DefaultType != REG_NONE) {
            type = e->DefaultType;
            data = e->DefaultData;
            length = e->DefaultLength;
        } else if (e->Flags & RTL_QUERY_REGISTRY_REQUIRED) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        } else {
            continue;
        }
        if (type != REG_DWORD && !(type == REG_BINARY && length <= 4)) return STATUS_OBJECT_TYPE_MISMATCH;
        std::memcpy(e->EntryContext, data, length < 4 ? length : 4);
    }
    return STATUS_SUCCESS;
}

extern "C" VOID RtlInitUnicodeString(PUNICODE_STRING dest, PCWSTR source) {
    size_t n = 0;
    if (source)
        while (source[n]) ++n;
    dest->Buffer = const_cast<PWSTR>(source);
    dest->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    dest->MaximumLength = source ? static_cast<USHORT>((n + 1) * sizeof(WCHAR)) : 0;
}

extern "C" NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING dest, PCUNICODE_STRING source, BOOLEAN allocate) {
    USHORT chars = source->Length / sizeof(WCHAR);
    if (allocate) {
        dest->Buffer = static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, chars + 1u, 0x72745368 /* 'hStr' */));
        if (!dest->Buffer) return STATUS_NO_MEMORY;
        dest->MaximumLength = static_cast<USHORT>(chars + 1);
    } else if (dest->MaximumLength < chars + 1u) {
        return static_cast<NTSTATUS>(0x80000005);  // STATUS_BUFFER_OVERFLOW
    }
    for (USHORT i = 0; i < chars; ++i) {
        WCHAR c = source->Buffer[i];
        dest->Buffer[i] = c < 128 ? static_cast<char>(c) : '?';
    }
    dest->Buffer[chars] = 0;
    dest->Length = chars;
    return STATUS_SUCCESS;
}

extern "C" VOID RtlFreeAnsiString(PANSI_STRING s) {
    if (s->Buffer) ExFreePool(s->Buffer);
    s->Buffer = nullptr;
    s->Length = s->MaximumLength = 0;
}
