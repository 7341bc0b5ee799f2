#include "toolkit_core.h"

namespace {

constexpr std::int32_t BoxTextCapacity = 255;

struct TBoxText {
  char Text[BoxTextCapacity + 1];
  TBoxText(std::int32_t length, const char* source) {
    Str::CopyA(BoxTextCapacity, Text, length, source);
  }
};

}  // namespace

std::int32_t DoMessageBox(CWindow* owner, std::int32_t, const CRect&, std::int32_t, std::int32_t,
                          std::int32_t, std::int32_t titleLength, const char* title,
                          std::int32_t length1, const char* line1, std::int32_t length2,
                          const char* line2, std::int32_t length3, const char* line3,
                          PPicture icon) {
  // The peers get terminated texts; the program's lengths may end before the NUL.
  const TBoxText boxTitle(titleLength, title);
  const TBoxText text1(length1, line1);
  const TBoxText text2(length2, line2);
  const TBoxText text3(length3, line3);
  return Peers()->MessageBox(owner, boxTitle.Text, text1.Text, text2.Text, text3.Text, icon);
}
