#include "recording/header_text.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <sstream>

namespace calyra::recording {
namespace {

constexpr std::size_t field_width = 80;

// Plain renderings of U+00C0..U+017F, blank separated, in code point order.
constexpr const char* latin_letters =
    // U+00C0..U+00FF
    "A A A A A A AE C E E E E I I I I D N O O O O O x O U U U U Y TH ss "
    "a a a a a a ae c e e e e i i i i d n o o o o o _ o u u u u y th y "
    // U+0100..U+017F
    "A a A a A a C c C c C c C c D d D d E e E e E e E e E e G g G g G g G g H h H h "
    "I i I i I i I i I i IJ ij J j K k k L l L l L l L l L l N n N n N n n N n "
    "O o O o O o OE oe R r R r R r S s S s S s S s T t T t T t "
    "U u U u U u U u U u U u W w Y y Y Z z Z z Z z s";

const std::array<std::string, 0xC0>& latin_table() {
  static const std::array<std::string, 0xC0> table = [] {
    std::array<std::string, 0xC0> t;
    std::istringstream words(latin_letters);
    for (std::string& entry : t) words >> entry;
    return t;
  }();
  return table;
}

// Decodes one UTF-8 character; returns its length (0: not well formed).
std::size_t decode(std::string_view s, char32_t& code) {
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  std::size_t n = 0;
  if (b(0) < 0x80) {
    code = b(0);
    return 1;
  }
  if ((b(0) & 0xE0) == 0xC0) {
    n = 2;
    code = b(0) & 0x1FU;
  } else if ((b(0) & 0xF0) == 0xE0) {
    n = 3;
    code = b(0) & 0x0FU;
  } else if ((b(0) & 0xF8) == 0xF0) {
    n = 4;
    code = b(0) & 0x07U;
  } else {
    return 0;
  }
  if (s.size() < n) return 0;
  for (std::size_t i = 1; i < n; ++i) {
    if ((b(i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (b(i) & 0x3FU);
  }
  return n;
}

std::string plain_form(char32_t code) {
  if (code >= 0x20 && code < 0x7F) return std::string(1, static_cast<char>(code));
  if (code >= 0xC0 && code <= 0x17F) return latin_table()[code - 0xC0];
  switch (code) {
    case 0xA0: return " ";                  // no-break space
    case 0x2018: case 0x2019: return "'";   // typographic single quotes
    case 0x201C: case 0x201D: return "\"";  // typographic double quotes
    case 0x2013: case 0x2014: return "-";   // dashes
    default: return "_";
  }
}

// A subfield: ASCII, blanks replaced, at most `width` characters.
std::string subfield(const std::string& ascii, std::size_t width) {
  std::string out = ascii.substr(0, width);
  for (char& c : out) {
    if (c == ' ') c = '_';
  }
  return out;
}

struct rendered {
  std::string text;
  bool changed = false;
};

rendered render(const std::string& utf8) {
  rendered r;
  r.text = ascii_rendering(utf8, r.changed);
  return r;
}

}  // namespace

std::string ascii_rendering(std::string_view utf8, bool& changed) {
  changed = false;
  std::string out;
  while (!utf8.empty()) {
    char32_t code = 0;
    std::size_t n = decode(utf8, code);
    if (n == 0) n = 1;
    const std::string plain = n == 1 && code >= 0x80 ? std::string("_") : plain_form(code);
    changed = changed || plain.size() != n || plain != utf8.substr(0, n);
    out += plain;
    utf8.remove_prefix(n);
  }
  return out;
}

bdf_identity bdf_identity_fields(const identity_texts& texts, const std::tm& start_local,
                                 const std::string& sidecar_name) {
  static constexpr const char* months[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                           "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
  bdf_identity id;
  const auto note_change = [&](const char* what, const std::string& given, const rendered& r,
                               std::size_t kept) {
    if (given.empty()) return;
    if (kept == 0) {
      id.remarks.push_back(std::string("the ") + what + " did not fit in the BDF header; " + sidecar_name +
                           " has it");
    } else if (kept < r.text.size()) {
      id.remarks.push_back(std::string("the ") + what + " was shortened to \"" + subfield(r.text, kept) +
                           "\" in the BDF header; " + sidecar_name + " has the full text");
    } else if (r.text != given) {
      id.remarks.push_back(std::string("the ") + what + " is \"" + subfield(r.text, kept) +
                           "\" in the BDF header (ASCII only); " + sidecar_name + " has the exact text");
    }
  };

  // Patient: code, sex, birth date, name; only the code is known.
  const rendered subject = render(texts.subject);
  const std::size_t subject_room = field_width - std::string(" X X X").size();
  const std::size_t subject_kept = std::min(subject.text.size(), subject_room);
  id.patient = (subject_kept > 0 ? subfield(subject.text, subject_kept) : "X") + " X X X";
  note_change("subject", texts.subject, subject, subject_kept);

  // Recording: "Startdate DD-MMM-YYYY ADMIN TECHNICIAN EQUIPMENT NOTE".
  char date[32];
  std::snprintf(date, sizeof date, "Startdate %02d-%s-%04d", start_local.tm_mday,
                months[static_cast<std::size_t>(start_local.tm_mon) % 12], start_local.tm_year + 1900);
  const rendered equipment = render(texts.equipment);
  const rendered session = render(texts.session);
  const rendered note = render(texts.note);
  // Room for the session and the equipment, after the date, the technician
  // "X" and three separating blanks; each keeps at least one character.
  const std::size_t room = field_width - std::string(date).size() - std::string(" X").size() - 2;
  const std::size_t equipment_kept = std::min(std::max<std::size_t>(equipment.text.size(), 1), room - 1);
  const std::size_t session_kept =
      std::min(session.text.size(), room - std::max<std::size_t>(equipment_kept, 1));
  const std::size_t used = std::max<std::size_t>(equipment_kept, 1) + std::max<std::size_t>(session_kept, 1);
  const std::size_t note_room = room - used > 1 ? room - used - 1 : 0;
  const std::size_t note_kept = std::min(note.text.size(), note_room);
  id.recording = std::string(date) + ' ' + (session_kept > 0 ? subfield(session.text, session_kept) : "X") +
                 " X " + (equipment.text.empty() ? "X" : subfield(equipment.text, equipment_kept));
  if (note_kept > 0) id.recording += ' ' + subfield(note.text, note_kept);
  note_change("device text", texts.equipment, equipment, equipment_kept);
  note_change("session", texts.session, session, session_kept);
  note_change("note", texts.note, note, note_kept);
  return id;
}

}  // namespace calyra::recording
