// Text fields of the managed records: the record keeps a 32-bit word, which holds a
// handle into one process-wide table of owned texts (0 and 0xFFFFFFFF hold none).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Stores a copy of text in the field, freeing the text the field held.
void txtf_Set(uint32_t* field, const std::string& text);
// The text a field word names; none for an empty or unknown handle.
std::optional<std::string> txtf_Get(uint32_t field);
// Frees the field's text; the field then holds none.
void txtf_Free(uint32_t* field);
