#include "Text.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace tessellon {

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

std::string ByteText(double bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    int unit = 0;
    while (bytes >= 1024.0 && unit < 6) {
        bytes /= 1024.0;
        ++unit;
    }
    char text[64];
    if (unit == 0)
        std::snprintf(text, sizeof text, "%.0f B", bytes);
    else
        std::snprintf(text, sizeof text, "%.1f %s", bytes, units[unit]);
    return text;
}

std::string NumberText(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

std::string SizeText(double width, double height) {
    return NumberText(std::trunc(width)) + " x " + NumberText(std::trunc(height));
}

uint64_t ParseByteCount(const std::string& text) {
    const std::string bad = "not a byte count: '" + text + "' (for example 512M, 4G or 1073741824)";
    size_t end = 0;
    while (end < text.size() && (std::isdigit(static_cast<unsigned char>(text[end])) || text[end] == '.')) ++end;
    if (end == 0) throw std::invalid_argument(bad);
    // Read without the locale: a decimal point is always '.'.
    double value = 0.0, scale = 1.0;
    bool point = false, digits = false;
    for (size_t i = 0; i < end; ++i) {
        if (text[i] == '.') {
            if (point) throw std::invalid_argument(bad);
            point = true;
            continue;
        }
        digits = true;
        if (point) {
            scale /= 10.0;
            value += (text[i] - '0') * scale;
        } else {
            value = value * 10.0 + (text[i] - '0');
        }
    }
    if (!digits) throw std::invalid_argument(bad);
    std::string unit = text.substr(end);
    for (char& c : unit) c = char(std::toupper(static_cast<unsigned char>(c)));
    if (unit.size() >= 2 && unit.compare(unit.size() - 2, 2, "IB") == 0) unit.resize(unit.size() - 2);
    else if (unit.size() >= 2 && unit.back() == 'B') unit.pop_back();
    double multiple = 1.0;
    if (unit.empty() || unit == "B") multiple = 1.0;
    else if (unit == "K") multiple = 1024.0;
    else if (unit == "M") multiple = 1024.0 * 1024.0;
    else if (unit == "G") multiple = 1024.0 * 1024.0 * 1024.0;
    else if (unit == "T") multiple = 1024.0 * 1024.0 * 1024.0 * 1024.0;
    else throw std::invalid_argument(bad);
    const double bytes = value * multiple;
    if (!(bytes >= 1.0) || bytes >= 18446744073709551616.0) throw std::invalid_argument(bad);
    return uint64_t(bytes);
}

}  // namespace tessellon
