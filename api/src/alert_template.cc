#include "alert_template.h"

#include <stdexcept>

namespace ringwell::api {
namespace {

constexpr std::size_t kMaxNamed = 5;

std::string Capitalised(std::string word) {
  if (!word.empty() && word[0] >= 'a' && word[0] <= 'z') word[0] = static_cast<char>(word[0] - 32);
  return word;
}

// The value every alert shares, else the first current alert's.
std::string Lookup(const AlertGroup& group, bool label, const std::string& name) {
  const AlertLabels& common = label ? group.common_labels : group.common_annotations;
  if (const auto found = common.find(name); found != common.end()) return found->second;
  auto current = group.Current();
  if (current.empty() && !group.alerts.empty()) current.push_back(&group.alerts.front());
  for (const Alert* alert : current) {
    const AlertLabels& own = label ? alert->labels : alert->annotations;
    if (const auto found = own.find(name); found != own.end()) return found->second;
  }
  return {};
}

std::string Sentence(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  if (!text.empty() && text.back() != '.' && text.back() != '!' && text.back() != '?') text += '.';
  return text;
}

std::string AboutAlert(const Alert& alert) {
  auto value = [](const AlertLabels& labels, const char* name) {
    const auto found = labels.find(name);
    return found == labels.end() ? std::string() : PlainSpokenText(found->second);
  };
  std::string name = value(alert.labels, "alertname");
  std::string detail = value(alert.annotations, "summary");
  if (detail.empty()) detail = value(alert.annotations, "description");
  if (name.empty()) name = "an alert";
  return Sentence(name) + (detail.empty() ? "" : " " + Sentence(detail));
}

std::string DefaultText(const AlertGroup& group) {
  auto current = group.Current();
  if (current.empty()) {
    for (const Alert& alert : group.alerts) current.push_back(&alert);
  }
  std::string text = Capitalised(group.status);
  if (current.size() == 1) return text + ": " + AboutAlert(*current.front());
  text += ", " + std::to_string(current.size()) + " alerts.";
  for (std::size_t i = 0; i < current.size() && i < kMaxNamed; ++i) {
    text += " " + AboutAlert(*current[i]);
  }
  if (current.size() > kMaxNamed) {
    text += " And " + std::to_string(current.size() - kMaxNamed) + " more.";
  }
  return text;
}

}  // namespace

AlertTemplate AlertTemplate::Parse(const std::string& text) {
  AlertTemplate parsed;
  std::string literal;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if ((c == '{' || c == '}') && i + 1 < text.size() && text[i + 1] == c) {
      literal += c;
      ++i;
      continue;
    }
    if (c == '}') throw std::invalid_argument("a } without its { (write }} for a brace)");
    if (c != '{') {
      literal += c;
      continue;
    }
    const std::size_t end = text.find('}', i);
    if (end == std::string::npos) {
      throw std::invalid_argument("a { without its } (write {{ for a brace)");
    }
    const std::string name = text.substr(i + 1, end - i - 1);
    Piece piece{Kind::kText, {}};
    if (name == "status") {
      piece.kind = Kind::kStatus;
    } else if (name == "count") {
      piece.kind = Kind::kCount;
    } else if (name.rfind("labels.", 0) == 0 && name.size() > 7) {
      piece = {Kind::kLabel, name.substr(7)};
    } else if (name.rfind("annotations.", 0) == 0 && name.size() > 12) {
      piece = {Kind::kAnnotation, name.substr(12)};
    } else {
      throw std::invalid_argument("unknown placeholder {" + name +
                                  "} (there are {status}, {count}, {labels.NAME} and "
                                  "{annotations.NAME})");
    }
    if (!literal.empty()) parsed.pieces_.push_back({Kind::kText, std::move(literal)});
    literal.clear();
    parsed.pieces_.push_back(std::move(piece));
    i = end;
  }
  if (!literal.empty()) parsed.pieces_.push_back({Kind::kText, std::move(literal)});
  return parsed;
}

std::string AlertTemplate::Render(const AlertGroup& group) const {
  if (pieces_.empty()) return PlainSpokenText(DefaultText(group));
  std::string text;
  for (const Piece& piece : pieces_) {
    switch (piece.kind) {
      case Kind::kText:
        text += piece.text;
        break;
      case Kind::kStatus:
        text += group.status;
        break;
      case Kind::kCount:
        text += std::to_string(group.Current().size());
        break;
      case Kind::kLabel:
      case Kind::kAnnotation:
        // Each value is made plain on its own, so it cannot join the text
        // around it into anything but words.
        text += PlainSpokenText(Lookup(group, piece.kind == Kind::kLabel, piece.text));
        break;
    }
  }
  text = PlainSpokenText(text);
  // A template of labels the alerts lack still says something.
  return text.empty() ? PlainSpokenText(DefaultText(group)) : text;
}

std::string PlainSpokenText(const std::string& text) {
  std::string plain;
  std::size_t characters = 0;
  bool blank = true;  // drops blanks at the start
  for (std::size_t i = 0; i < text.size() && characters < kMaxSpokenText; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte == 0x7F || byte == ' ') {
      if (!blank) plain += ' ';
      blank = true;
      ++characters;
      continue;
    }
    // A whole UTF-8 sequence, or nothing of a broken one.
    std::size_t length = byte < 0x80           ? 1
                         : (byte >> 5) == 0x6  ? 2
                         : (byte >> 4) == 0xE  ? 3
                         : (byte >> 3) == 0x1E ? 4
                                               : 0;
    bool whole = length != 0 && i + length <= text.size();
    for (std::size_t k = 1; whole && k < length; ++k) {
      whole = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    }
    if (!whole) continue;
    const std::string sequence = text.substr(i, length);
    i += length - 1;
    // C1 controls, the line and paragraph separators, and the non-characters
    // U+FFFE and U+FFFF are no words either.
    if ((length == 2 && byte == 0xC2 && static_cast<unsigned char>(sequence[1]) < 0xA0) ||
        sequence == "\xE2\x80\xA8" || sequence == "\xE2\x80\xA9" || sequence == "\xEF\xBF\xBE" ||
        sequence == "\xEF\xBF\xBF") {
      if (!blank) plain += ' ';
      blank = true;
      ++characters;
      continue;
    }
    plain += sequence;
    blank = false;
    ++characters;
  }
  while (!plain.empty() && plain.back() == ' ') plain.pop_back();
  return plain;
}

}  // namespace ringwell::api
