#include "Error.h"

namespace tessellon {

std::string Location::Text() const {
    std::string text = File;
    if (Line > 0) {
        text += ':' + std::to_string(Line);
        if (Column > 0) text += ':' + std::to_string(Column);
    }
    return text;
}

Error::Error(ErrorKind kind, Location where, const std::string& message)
    : std::runtime_error(where.Empty() ? message : where.Text() + ": " + message),
      kind_(kind),
      where_(std::move(where)),
      message_(message) {}

int Error::ExitStatus() const { return kind_ == ErrorKind::BadInput ? 2 : 1; }

Error BadFile(Location where, const std::string& message) {
    return Error(ErrorKind::BadInput, std::move(where), message);
}

void BadInput(const std::string& message) { throw Error(ErrorKind::BadInput, Location(), message); }
void NoImage(const std::string& message) { throw Error(ErrorKind::NoImage, Location(), message); }

}  // namespace tessellon
