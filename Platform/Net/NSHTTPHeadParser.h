#pragma once
// Private to the URL session: reads the heads of one HTTP exchange from the
// lines that the network layer hands over one by one, as they came off the
// wire, and keeps the fields of the head being read.

#include <string>
#include <string_view>

#include "Platform/Net/NSURLRequest.h"
#include "Platform/PlatformExport.h"

// Each head (an interim 1xx answer, a redirect, the final answer) starts
// with its status line ("HTTP/1.1 200 OK"), which forgets the head before
// it, and ends with an empty line. A field line is a token, a colon and a
// value whose blanks around it are dropped; a repeated field is joined into
// one value after ", "; a line that begins with a blank continues the value
// of the field before it (an obsolete fold), after one space. Lines that are
// none of these (no colon, a name that is not a token) are skipped, and
// lines before the first status line only end heads that are never
// reported.
class PLATFORM_EXPORT NSHTTPHeadParser {
 public:
  enum class Line {
    Status,  // a new head began
    Field,   // a field line, or the fold of one
    Skipped,
    End,  // the empty line that ends a head
  };

  // Reads one line, with or without the CR LF that ended it.
  Line read(std::string_view line);

  // Whether a status line has been read, in any head so far.
  bool sawStatusLine() const { return sawStatusLine_; }
  // The status of the head being read: the three digits of its status
  // line, or 0 when they are missing.
  long status() const { return status_; }
  const NSHTTPHeaderFields& fields() const { return fields_; }
  // Hands the fields over, leaving none.
  NSHTTPHeaderFields takeFields();

  // Whether the text is an HTTP token (a method or a field name).
  static bool isToken(std::string_view text);
  // The text without the spaces and tabs around it.
  static std::string_view trimmed(std::string_view text);

 private:
  NSHTTPHeaderFields fields_;
  std::string lastFieldName_;  // the field that a folded line continues
  long status_ = 0;
  bool sawStatusLine_ = false;
};
