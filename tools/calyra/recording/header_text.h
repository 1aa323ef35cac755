// The text fields of a BDF header: printable ASCII only, in fixed widths.
// Non-ASCII text is transliterated where a plain rendering exists, and what
// does not fit is cut in a fixed order of importance; both are reported so
// that the summary can say so (the JSON sidecar keeps the exact texts).
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace calyra::recording {

// `utf8` in printable ASCII: accented Latin letters lose their accents
// ("José Müller" -> "Jose Muller", "ß" -> "ss"), typographic quotes and
// dashes become their plain forms, anything else (and control characters)
// becomes '_'. `changed` tells whether the text differs from `utf8`.
std::string ascii_rendering(std::string_view utf8, bool& changed);

struct identity_texts {
  std::string subject;    // --subject
  std::string session;    // --session
  std::string note;       // --note
  std::string equipment;  // device and firmware
};

struct bdf_identity {
  std::string patient;    // the 80-byte patient field, unpadded
  std::string recording;  // the 80-byte recording field, unpadded
  // What the header could not hold as given, one line each, naming
  // `sidecar_name` as the place of the exact texts.
  std::vector<std::string> remarks;
};

// The BDF+ patient and recording fields. The recording field holds, in
// this order of importance, the start date, the device and firmware, the
// session and the note; blanks inside a subfield become '_'.
bdf_identity bdf_identity_fields(const identity_texts& texts, const std::tm& start_local,
                                 const std::string& sidecar_name);

}  // namespace calyra::recording
