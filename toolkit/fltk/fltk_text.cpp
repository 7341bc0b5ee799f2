// Texts, fonts and colours: from the toolkit's ANSI texts and font
// descriptors to what FLTK draws.
#include <FL/Fl.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <cstdio>
#include <deque>

#include "fltk_peers.h"

namespace {

// Windows-1252 0x80 to 0x9F; the five undefined bytes keep their C1 code
// points, as Windows' own conversion does.
constexpr std::uint16_t Cp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void AppendUtf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

struct TRegistered {
  std::string Face;
  bool Bold;
  Fl_Font Font;
  std::string FltkName;  // FLTK keeps the pointer, so the name lives here
};

std::deque<TRegistered>& Registered() {
  static std::deque<TRegistered> registered;
  return registered;
}

// Windows dialogs are set in a face with Arial's metrics; Liberation Sans has
// them, so texts sized for the Windows program fit here too. Fontconfig picks
// its nearest face when it is not installed.
std::string FltkFaceName(const char* face) {
  const std::string name = face != nullptr ? face : "";
  return name.empty() || name == "Sans" ? "Liberation Sans" : name;
}

}  // namespace

std::string FltkUtf8(const char* text, std::size_t length) {
  std::string out;
  if (text == nullptr) {
    return out;
  }
  out.reserve(length);
  for (std::size_t i = 0; i < length && text[i] != '\0'; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      out.push_back(static_cast<char>(byte));
    } else if (byte < 0xA0) {
      AppendUtf8(out, Cp1252High[byte - 0x80]);
    } else {
      AppendUtf8(out, byte);
    }
  }
  return out;
}

std::string FltkLiteralLabel(const char* text) {
  const std::string utf8 =
      FltkUtf8(text, text != nullptr ? std::char_traits<char>::length(text) : 0);
  std::string out;
  out.reserve(utf8.size());
  for (const char c : utf8) {
    if (c == '@' || c == '&') {
      out.push_back(c);
    }
    out.push_back(c);
  }
  return out;
}

Fl_Fontsize FltkEmSize(std::int32_t cellHeight) {
  if (cellHeight <= 0) {
    return FL_NORMAL_SIZE;
  }
  // Nine tenths, rounded, in integers: this is all the program would use libm
  // for, and each library page it touches stays resident.
  return static_cast<Fl_Fontsize>(std::max(1, (cellHeight * 9 + 5) / 10));
}

TFltkFont FltkFontOf(TFont font) {
  if (font == nullptr) {
    const TGContext* context = GetPGContext(7);
    font = context != nullptr ? context->TextFont : nullptr;
  }
  if (font == nullptr) {
    return {FL_HELVETICA, FL_NORMAL_SIZE};
  }
  const std::string face = FltkFaceName(font->Face);
  for (const TRegistered& known : Registered()) {
    if (known.Face == face && known.Bold == font->Bold) {
      return {known.Font, FltkEmSize(font->Size)};
    }
  }
  const auto index = static_cast<Fl_Font>(FL_FREE_FONT + Registered().size());
  // FLTK's Xft names: the first character says plain (' ') or bold ('B').
  Registered().push_back({face, font->Bold, index, (font->Bold ? "B" : " ") + face});
  Fl::set_font(index, Registered().back().FltkName.c_str());
  return {index, FltkEmSize(font->Size)};
}

Fl_Color FltkColor(TColor color) {
  return fl_rgb_color(static_cast<uchar>(color >> 16), static_cast<uchar>(color >> 8),
                      static_cast<uchar>(color));
}

std::string FltkQuoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
    }
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

void FltkDescribeDrawn(const std::vector<TFltkDrawn>& drawn, std::string& out, int indent) {
  const std::string pad(static_cast<std::size_t>(indent), ' ');
  char line[128];
  for (const TFltkDrawn& call : drawn) {
    switch (call.Op) {
      case 't':
        std::snprintf(line, sizeof line, "text %d %d %d %s ", call.X1, call.Y1, call.X2,
                      call.Bold ? "bold" : "regular");
        out += pad + line + FltkQuoted(call.Text) + "\n";
        break;
      case 'l':
        std::snprintf(line, sizeof line, "line %d %d %d %d %06x\n", call.X1, call.Y1, call.X2,
                      call.Y2, static_cast<unsigned>(call.Color));
        out += pad + line;
        break;
      default:
        std::snprintf(line, sizeof line, "fill %d %d %d %d\n", call.X1, call.Y1, call.X2, call.Y2);
        out += pad + line;
        break;
    }
  }
}
