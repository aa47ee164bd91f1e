#pragma once

#include <string>

namespace brindle::host {

// libfuse tells why a mount failed only in the text it logs. While one of these lives, that text
// is kept for the command's own error line; otherwise libfuse's lines go to the log, since a
// daemon's standard error leads nowhere.
class FuseMessageCapture {
public:
    FuseMessageCapture();
    ~FuseMessageCapture();
    FuseMessageCapture(const FuseMessageCapture&) = delete;
    FuseMessageCapture& operator=(const FuseMessageCapture&) = delete;

    // What libfuse said meanwhile, one line after the other, joined with "; ".
    std::string text() const;
};

}  // namespace brindle::host
