// What a test expects to see of a report: the bytes the splicer sends, the
// text Seamlog makes of them, and the part of it the live view shows. The text
// and the view come from the capture's own rules, so a test and the program
// can never disagree on them.
#pragma once

#include <string>

namespace e2e {

// The report as the splicer sends it: lines end in CR alone (a CR LF in the
// report becomes CR).
std::string SplicerStream(const std::string& report);

// ReceivedText for these bytes: every CR followed by an LF.
std::string AsReceived(const std::string& raw);

// What the live text control shows of the received text: its tail, with each
// NUL shown as a dot.
std::string LiveViewOf(const std::string& text);

}  // namespace e2e
