// VelaString: an owned, NUL-terminated text, or no text at all.
//
// str_ points at a heap copy of the text (new char[]), or is null when the
// value holds no text. The default constructor holds the empty text.

#include <cstring>

#include "journal/journal.h"
#include "vela/lumora_vela_defines.h"

namespace lumora {
namespace vela {

namespace {

// A heap copy of s, or null for null.
char* copy_text(const char* s) {
  if (s == nullptr) {
    return nullptr;
  }
  const size_t n = std::strlen(s);
  char* copy = new char[n + 1];
  std::memcpy(copy, s, n + 1);
  return copy;
}

// Replaces *slot with a copy of s. The copy is made before the old text is
// freed, so s may point into the old text.
void replace_text(void*& slot, const char* s) {
  char* copy = copy_text(s);
  delete[] static_cast<char*>(slot);
  slot = copy;
}

}  // namespace

VelaString::VelaString() : str_(copy_text("")) {}

VelaString::VelaString(const char* str) : str_(nullptr) {
  lumora_sdk::JournalEntry("VelaString::VelaString").text(str).commit();
  str_ = copy_text(str);
}

VelaString::VelaString(const VelaString& other) : str_(copy_text(static_cast<const char*>(other.str_))) {}

VelaString::~VelaString() { delete[] static_cast<char*>(str_); }

VelaString& VelaString::operator=(const VelaString& other) {
  if (this != &other) {
    replace_text(str_, static_cast<const char*>(other.str_));
  }
  return *this;
}

VelaString& VelaString::operator=(const char* str) {
  lumora_sdk::JournalEntry("VelaString::operator=").text(str).commit();
  replace_text(str_, str);
  return *this;
}

void VelaString::SetValue(const char* str) {
  lumora_sdk::JournalEntry("VelaString::SetValue").text(str).commit();
  replace_text(str_, str);
}

const char* VelaString::GetValue() const { return static_cast<const char*>(str_); }

}  // namespace vela
}  // namespace lumora
