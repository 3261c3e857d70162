// DbgPrint and the log sink that tests read line by line.
#include "internal.h"

#include <deque>

namespace hk {
namespace {

std::mutex g_logLock;
std::deque<std::string> g_lines;
FILE* g_echo = nullptr;
thread_local std::string t_partial;
constexpr size_t kMaxLines = 1u << 20;  // oldest lines go first beyond this

void AppendLine(std::string line) {
    std::lock_guard<std::mutex> guard(g_logLock);
    if (g_echo) {
        std::fprintf(g_echo, "%s\n", line.c_str());
        std::fflush(g_echo);
    }
    if (g_lines.size() >= kMaxLines) g_lines.pop_front();
    g_lines.push_back(std::move(line));
}

}  // namespace

void LogClear() {
    std::lock_guard<std::mutex> guard(g_logLock);
    g_lines.clear();
}

std::vector<std::string> LogLines() {
    std::lock_guard<std::mutex> guard(g_logLock);
    return {g_lines.begin(), g_lines.end()};
}

bool LogHasLine(std::string_view line) { return LogCount(line) > 0; }

size_t LogCount(std::string_view line) {
    std::lock_guard<std::mutex> guard(g_logLock);
    size_t n = 0;
    for (const auto& l : g_lines) n += (l == line);
    return n;
}

void LogEcho(FILE* stream) {
    std::lock_guard<std::mutex> guard(g_logLock);
    g_echo = stream;
}

namespace detail {

std::string Hex(uint32_t value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%X", value);
    return buf;
}

// The kernel's format rules: 'l' is 32 bits (LONG), "ll" and "I64" are 64
// bits, "%ws"/"%ls"/"%S" take a wide string, "%wc"/"%lc"/"%C" a wide
// character, "%wZ" a UNICODE_STRING pointer and "%Z" an ANSI_STRING pointer.
// The Unicode conversions are pageable: only at PASSIVE_LEVEL.
std::string Format(const char* format, va_list args) {
    auto unicode = [](const char* conversion) {
        KIRQL irql = KeGetCurrentIrql();
        if (irql != PASSIVE_LEVEL)
            ReportViolation("DbgPrint", std::string(conversion) + " at IRQL " + std::to_string(irql) +
                                            ": Unicode formats only at PASSIVE_LEVEL");
    };
    std::string out;
    out.reserve(std::strlen(format) + 64);  // most lines in one allocation
    for (const char* p = format; *p;) {
        if (*p != '%') {
            out += *p++;
            continue;
        }
        const char* start = p++;
        if (*p == '%') {
            out += '%';
            ++p;
            continue;
        }
        std::string piece = "%";
        while (*p && std::strchr("-+ #0", *p)) piece += *p++;
        if (*p == '*') {
            piece += std::to_string(va_arg(args, int));
            ++p;
        }
        while (*p >= '0' && *p <= '9') piece += *p++;
        if (*p == '.') {
            piece += *p++;
            if (*p == '*') {
                piece += std::to_string(va_arg(args, int));
                ++p;
            }
            while (*p >= '0' && *p <= '9') piece += *p++;
        }
        int size = 0;  // 0 int, 1 short, 2 char, 8 64-bit, 'z' size_t
        bool wide = false;
        bool longPrefix = false;
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            size = 8;
            p += 3;
        } else if (p[0] == 'l' && p[1] == 'l') {
            size = 8;
            p += 2;
        } else if (*p == 'l') {
            ++p;  // 32 bits, as LONG; with s or c a wide string or character
            longPrefix = true;
        } else if (p[0] == 'h' && p[1] == 'h') {
            size = 2;
            p += 2;
        } else if (*p == 'h') {
            size = 1;
            ++p;
        } else if (*p == 'z' || *p == 'I') {
            size = 'z';
            ++p;
        } else if (*p == 'w') {
            wide = true;
            ++p;
        }
        char conv = *p ? *p++ : 0;
        char buf[128];
        switch (conv) {
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            if (size == 8 || size == 'z') {
                piece += "ll";
                piece += conv;
                std::snprintf(buf, sizeof buf, piece.c_str(), va_arg(args, long long));
            } else {
                int v = va_arg(args, int);
                bool isSigned = conv == 'd' || conv == 'i';
                if (size == 1) v = isSigned ? static_cast<short>(v) : static_cast<unsigned short>(v);
                if (size == 2) v = isSigned ? static_cast<signed char>(v) : static_cast<unsigned char>(v);
                piece += conv;
                std::snprintf(buf, sizeof buf, piece.c_str(), v);
            }
            out += buf;
            break;
        }
        case 'c':
        case 'C':
            if (wide || longPrefix || conv == 'C') {
                unicode(wide ? "%wc" : longPrefix ? "%lc" : "%C");
                auto c = static_cast<char16_t>(va_arg(args, int));
                out += ToUtf8(std::u16string_view(&c, 1));
            } else {
                out += static_cast<char>(va_arg(args, int));
            }
            break;
        case 'p':
            std::snprintf(buf, sizeof buf, "%016llX", static_cast<unsigned long long>(
                                                          reinterpret_cast<uintptr_t>(va_arg(args, void*))));
            out += buf;
            break;
        case 's':
        case 'S':
            if (wide || longPrefix || conv == 'S') {
                unicode(wide ? "%ws" : longPrefix ? "%ls" : "%S");
                auto* w = va_arg(args, const char16_t*);
                out += w ? ToUtf8(w) : "(null)";
            } else {
                const char* s = va_arg(args, const char*);
                piece += 's';
                std::string tmp(s ? s : "(null)");
                int n = std::snprintf(nullptr, 0, piece.c_str(), tmp.c_str());
                std::string formatted(static_cast<size_t>(n) + 1, '\0');
                std::snprintf(formatted.data(), formatted.size(), piece.c_str(), tmp.c_str());
                formatted.resize(static_cast<size_t>(n));
                out += formatted;
            }
            break;
        case 'Z':
            if (wide) {
                unicode("%wZ");
                auto* u = va_arg(args, const UNICODE_STRING*);
                out += u ? ToUtf8(FromUnicode(u)) : "(null)";
            } else {
                auto* a = va_arg(args, const ANSI_STRING*);
                out += a && a->Buffer ? std::string(a->Buffer, a->Length) : "(null)";
            }
            break;
        default:
            out.append(start, p);
            break;
        }
    }
    return out;
}

}  // namespace detail
}  // namespace hk

extern "C" ULONG DbgPrint(PCSTR format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = hk::detail::Format(format, args);
    va_end(args);
    // The usual case, one whole line and nothing pending: no copies.
    if (hk::t_partial.empty() && !text.empty() && text.find('\n') == text.size() - 1) {
        text.pop_back();
        hk::AppendLine(std::move(text));
        return 0;
    }
    hk::t_partial += text;
    size_t pos;
    while ((pos = hk::t_partial.find('\n')) != std::string::npos) {
        hk::AppendLine(hk::t_partial.substr(0, pos));
        hk::t_partial.erase(0, pos + 1);
    }
    return 0;
}
