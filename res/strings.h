#pragma once
// The string table: texts the program loads by id.

namespace res {
// The text of string id, or null when the table has none.
const char* LoadString(int id);
} // namespace res
