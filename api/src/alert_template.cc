#include "alert_template.h"

#include <stdexcept>
#include <string_view>

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

// A piece of a rendered template: its literal text or a placeholder's value.
struct Rendered {
  bool literal = false;
  std::string text;
  bool missing = false;  // a label or annotation the alerts lack
};

bool IsBreak(char c) { return std::string_view(",.:;!?()").find(c) != std::string_view::npos; }

bool Blank(std::string_view text) {
  return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

// A value the alerts lack is left out with the words that lead to it ("on"
// in "{labels.alertname} on {labels.instance}"): the literal words before it
// back to the last punctuation; a value that opens a clause takes the words
// after it instead, up to the next punctuation.
void LeaveOutMissing(std::vector<Rendered>* pieces) {
  for (std::size_t i = 0; i < pieces->size(); ++i) {
    if (!(*pieces)[i].missing) continue;
    if (i > 0 && (*pieces)[i - 1].literal) {
      std::string& before = (*pieces)[i - 1].text;
      std::size_t cut = before.size();
      while (cut > 0 && !IsBreak(before[cut - 1])) --cut;
      if (!Blank(std::string_view(before).substr(cut))) {
        before.resize(cut);
        if (cut > 0) before += ' ';
        continue;
      }
    }
    if (i + 1 < pieces->size() && (*pieces)[i + 1].literal) {
      std::string& after = (*pieces)[i + 1].text;
      std::size_t end = 0;
      while (end < after.size() && !IsBreak(after[end])) ++end;
      after.erase(0, end);
    }
  }
}

// No blank before a punctuation mark, and of two marks in a row (left where
// words were left out) only the stronger: "firing: ." becomes "firing.".
std::string TidyPunctuation(const std::string& text) {
  std::string tidy;
  for (const char c : text) {
    if (c == ' ' && (tidy.empty() || tidy.back() == ' ')) continue;
    const bool mark = IsBreak(c) && c != '(' && c != ')';
    if (mark) {
      while (!tidy.empty() && tidy.back() == ' ') tidy.pop_back();
      if (tidy.empty()) continue;  // nothing before it to end
      const char last = tidy.back();
      if (IsBreak(last) && last != '(' && last != ')') {
        const bool strong = c == '.' || c == '!' || c == '?';
        const bool last_strong = last == '.' || last == '!' || last == '?';
        if (strong && !last_strong) tidy.back() = c;
        continue;
      }
    }
    tidy += c;
  }
  while (!tidy.empty() && tidy.back() == ' ') tidy.pop_back();
  // What was left out at the very end leaves its comma or colon behind.
  if (!tidy.empty() && (tidy.back() == ',' || tidy.back() == ':' || tidy.back() == ';')) {
    tidy.back() = '.';
  }
  return tidy;
}

}  // namespace

AlertTemplate AlertTemplate::Parse(const std::string& text) {
  AlertTemplate parsed;
  parsed.text_ = text;
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
  std::vector<Rendered> rendered;
  for (const Piece& piece : pieces_) {
    switch (piece.kind) {
      case Kind::kText:
        rendered.push_back({true, piece.text, false});
        break;
      case Kind::kStatus:
        rendered.push_back({false, group.status, false});
        break;
      case Kind::kCount:
        rendered.push_back({false, std::to_string(group.Current().size()), false});
        break;
      case Kind::kLabel:
      case Kind::kAnnotation: {
        // Each value is made plain on its own, so it cannot join the text
        // around it into anything but words.
        std::string value = PlainSpokenText(Lookup(group, piece.kind == Kind::kLabel, piece.text));
        const bool missing = value.empty();
        rendered.push_back({false, std::move(value), missing});
        break;
      }
    }
  }
  LeaveOutMissing(&rendered);
  std::string text;
  for (const Rendered& piece : rendered) text += piece.text;
  text = TidyPunctuation(PlainSpokenText(text));
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
