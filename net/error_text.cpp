#include "net/error_text.h"

#include "res/strings.h"

#include <algorithm>
#include <cstring>

namespace {
// Copies at most n bytes of src into dst, always terminated.
void CopyBounded(char (&dst)[kErrorTextSize], const char* src, size_t n) {
    n = std::min(n, kErrorTextSize - 1);
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}
} // namespace

char* GetErrorText(int code) {
    static char text[kErrorTextSize];
    const char* loaded = res::LoadString(code);
    // The string table also holds message texts; only error codes (10000 and up) are asked for.
    if (loaded == nullptr || code < 10000) {
        loaded = "Error loading string";
    }
    CopyBounded(text, loaded, std::strlen(loaded));
    return text;
}

void SplitErrorText(const char* text, char (&code)[kErrorTextSize],
                    char (&description)[kErrorTextSize]) {
    const size_t len = std::strlen(text);
    const char* colon = std::strchr(text, ':');
    // With no colon the position is -1: no code, and the description from the second character.
    const size_t i = colon != nullptr ? static_cast<size_t>(colon - text) : 0;
    CopyBounded(code, text, colon != nullptr ? i : 0);
    const size_t from = colon != nullptr ? i + 2 : 1;
    if (from < len) {
        CopyBounded(description, text + from, len - from);
    } else {
        description[0] = '\0';
    }
}
