#pragma once
// The sockets layer's error codes as the texts the user sees: "SYMBOL: description", from the
// string table. Used on the GUI thread only.

#include <cstddef>

constexpr size_t kErrorTextSize = 256; // the callers' buffers, terminator included

// The text of code, or "Error loading string" when the table has none. The text lies in one
// buffer shared by every call: it stays valid until the next call.
char* GetErrorText(int code);

// Splits "SYMBOL: description" at its first colon: the part before it into code, the part
// from two characters after it into description. Each copy is cut to fit its buffer.
void SplitErrorText(const char* text, char (&code)[kErrorTextSize],
                    char (&description)[kErrorTextSize]);
