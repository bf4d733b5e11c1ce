// The spoken text of an alert: a route's "say" template, or the default
// text. A template is plain text with placeholders:
//
//   {status}             "firing" or "resolved"
//   {count}              how many of the group's alerts have that status
//   {labels.NAME}        a label all the alerts share, else the first alert's
//   {annotations.NAME}   the same for an annotation
//   {{ and }}            a brace
//
// The default text says the status, then each alert's name and its summary
// (or description): "Firing: DiskFull. The disk of db1 is full." A group of
// several alerts says how many first and names at most five of them.
//
// What is rendered is plain text for the speech engine, whatever the labels
// hold: control characters become blanks, blanks are collapsed, and the text
// is cut at kMaxSpokenText characters. It only ever becomes the content of
// one text part of a request; it cannot add parts, responses or markup.
//
// A label or annotation the alerts lack is left out with the words that lead
// to it: "{status}: {labels.alertname} on {labels.instance}." says "firing:
// DiskFull." when there is no instance label, not "firing: DiskFull on .".
// A template that renders to nothing (only labels the alerts lack) gives the
// default text.
//
// Thread-safety: a parsed template is a value; rendering keeps no state.
#pragma once

#include <string>
#include <vector>

#include "alert_payload.h"

namespace ringwell::api {

inline constexpr std::size_t kMaxSpokenText = 1000;  // characters (code points)

class AlertTemplate {
 public:
  // The empty template: the default text.
  AlertTemplate() = default;
  // Throws std::invalid_argument naming an unknown placeholder or an
  // unmatched brace.
  static AlertTemplate Parse(const std::string& text);

  bool empty() const { return pieces_.empty(); }
  // The template as written (empty for the default text).
  const std::string& text() const { return text_; }
  std::string Render(const AlertGroup& group) const;

 private:
  enum class Kind { kText, kStatus, kCount, kLabel, kAnnotation };
  struct Piece {
    Kind kind;
    std::string text;  // the text, or the label's or annotation's name
  };
  std::vector<Piece> pieces_;
  std::string text_;
};

// Makes any text safe to speak: no control characters, one blank between
// words, at most kMaxSpokenText characters.
std::string PlainSpokenText(const std::string& text);

}  // namespace ringwell::api
