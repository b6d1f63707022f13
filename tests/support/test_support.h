// Everything a plug-in unit test needs: the fakes and the ACE capture.
#pragma once

#include "support/ace_capture.h"
#include "support/fake_feed.h"
#include "support/host_fakes.h"

#include <ostream>

inline std::ostream& operator<<(std::ostream& out, const LogLine& line) {
    return out << "{" << line.kind << " \"" << line.format << "\" \"" << line.text << "\" " << line.code << "}";
}
