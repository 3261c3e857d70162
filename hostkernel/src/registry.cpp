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

void RegistrySetBinary(std::u16string_view key, std::u16string_view name, const std::vector<uint8_t>& value) {
    std::lock_guard<std::mutex> guard(g_regLock);
    g_keys[detail::Lower(key)][detail::Lower(name)] = Value{REG_BINARY, value};
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

namespace {

bool IsStringType(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

const char* TypeName(ULONG type) {
    switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_QWORD: return "REG_QWORD";
    default: return "a registry type";
    }
}

constexpr uint32_t kTagRegistryString = 0x53676552;  // 'RegS' strings RtlQueryRegistryValues allocates

// One direct query's write into EntryContext, as the platform does it:
// strings into the UNICODE_STRING it points to (a null Buffer gets a pool
// buffer the caller frees with RtlFreeUnicodeString), data of up to four
// bytes in place, larger data into a buffer whose first LONG gives its size
// (negative: data only; positive: length, type, then data).
NTSTATUS WriteDirect(void* target, ULONG type, const void* data, ULONG length) {
    if (IsStringType(type)) {
        auto* u = static_cast<PUNICODE_STRING>(target);
        if (!u->Buffer) {
            u->Buffer = static_cast<PWSTR>(hk::detail::PoolAllocate(length ? length : 2, kTagRegistryString));
            if (!u->Buffer) return STATUS_INSUFFICIENT_RESOURCES;
            u->MaximumLength = static_cast<USHORT>(length ? length : 2);
        } else if (length > u->MaximumLength) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        std::memcpy(u->Buffer, data, length);
        ULONG chars = length / sizeof(WCHAR);
        if (chars && u->Buffer[chars - 1] == 0) --chars;  // the terminating zero is not counted
        u->Length = static_cast<USHORT>(chars * sizeof(WCHAR));
        return STATUS_SUCCESS;
    }
    if (length <= sizeof(ULONG)) {
        std::memcpy(target, data, length);
        return STATUS_SUCCESS;
    }
    LONG size;
    std::memcpy(&size, target, sizeof size);
    auto* bytes = static_cast<uint8_t*>(target);
    if (size < 0) {
        if (static_cast<ULONG>(-static_cast<int64_t>(size)) < length) return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(bytes, data, length);
        return STATUS_SUCCESS;
    }
    if (static_cast<ULONG>(size) < 2 * sizeof(ULONG) + length) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(bytes, &length, sizeof(ULONG));
    std::memcpy(bytes + sizeof(ULONG), &type, sizeof(ULONG));
    std::memcpy(bytes + 2 * sizeof(ULONG), data, length);
    return STATUS_SUCCESS;
}

}  // namespace

// Direct queries (RTL_QUERY_REGISTRY_DIRECT) only; query routines are not
// supported. With RTL_QUERY_REGISTRY_TYPECHECK the upper byte of DefaultType
// names the type the caller expects, and a stored value of another type
// fails the query with STATUS_OBJECT_TYPE_MISMATCH before anything is
// written. Without it the value is written as its own type dictates, which
// for a string (a UNICODE_STRING, 16 bytes) or data of more than four bytes
// overruns a target the caller declared REG_DWORD: the verifier reports
// that and writes nothing (the query then fails as a type mismatch).
extern "C" NTSTATUS RtlQueryRegistryValues(ULONG relativeTo, PCWSTR path, PRTL_QUERY_REGISTRY_TABLE table, PVOID,
                                           PVOID) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        ReportViolation("RtlQueryRegistryValues", "called at IRQL " + std::to_string(KeGetCurrentIrql()));
    std::unique_lock<std::mutex> lock(g_regLock);
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
        const bool typeCheck = (e->Flags & RTL_QUERY_REGISTRY_TYPECHECK) != 0;
        const ULONG expected = e->DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
        const ULONG declared = e->DefaultType & ~static_cast<ULONG>(RTL_QUERY_REGISTRY_TYPECHECK_MASK);
        const std::u16string name = detail::FromWide(e->Name);
        auto v = k->second.find(detail::Lower(name));
        ULONG type;
        const void* data;
        ULONG length;
        if (v != k->second.end()) {
            type = v->second.type;
            data = v->second.data.data();
            length = static_cast<ULONG>(v->second.data.size());
            if (typeCheck && type != expected) return STATUS_OBJECT_TYPE_MISMATCH;
        } else if (declared != REG_NONE) {
            type = declared;
            data = e->DefaultData;
            length = e->DefaultLength;
            if (!length && IsStringType(type) && data) {
                // A string default without a length runs to its terminating zero.
                length = static_cast<ULONG>((detail::FromWide(static_cast<PCWSTR>(data)).size() + 1) * sizeof(WCHAR));
            }
        } else if (e->Flags & RTL_QUERY_REGISTRY_REQUIRED) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        } else {
            continue;
        }
        const bool wide = IsStringType(type) || length > sizeof(ULONG);
        if (!typeCheck && declared == REG_DWORD && wide) {
            lock.unlock();
            ReportViolation("RtlQueryRegistryValues",
                            "DIRECT query of the " + std::string(TypeName(type)) + " value '" + ToUtf8(name) +
                                "' without RTL_QUERY_REGISTRY_TYPECHECK: a non-DWORD value is written as " +
                                (IsStringType(type) ? "a 16-byte UNICODE_STRING" : "sized data") +
                                " and overwrites the 4-byte target the caller declared REG_DWORD");
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        NTSTATUS written = WriteDirect(e->EntryContext, type, data, length);
        if (!NT_SUCCESS(written)) return written;
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
        if (detail::ShouldFail(Alloc::RtlUnicodeStringToAnsiString)) return STATUS_NO_MEMORY;
        dest->Buffer = static_cast<PCHAR>(detail::PoolAllocate(chars + 1u, 0x72745368 /* 'hStr' */));
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

extern "C" VOID RtlFreeUnicodeString(PUNICODE_STRING s) {
    if (s->Buffer) ExFreePool(s->Buffer);
    s->Buffer = nullptr;
    s->Length = s->MaximumLength = 0;
}
