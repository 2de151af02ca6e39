#include "translation/text_field.h"

void CopyTextField(WCHAR* field, std::size_t fieldUnits, const WCHAR* text, std::size_t textUnits) noexcept {
  if (fieldUnits == 0) return;
  std::size_t i = 0;
  for (; i + 1 < fieldUnits && i < textUnits && text[i] != L'\0'; ++i) field[i] = text[i];
  for (; i < fieldUnits; ++i) field[i] = L'\0';
}

std::size_t TextFieldLength(const WCHAR* text, std::size_t units) noexcept {
  std::size_t n = 0;
  while (n < units && text[n] != L'\0') ++n;
  return n;
}
