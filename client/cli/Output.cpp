#include "Output.h"

#include <cstring>

namespace talvik::cli {

void FileOutput::Write(const char* data, size_t length) {
    std::fwrite(data, 1, length, m_file);
}

Output& operator<<(Output& out, const char* text) {
    out.Write(text, std::strlen(text));
    return out;
}

Output& operator<<(Output& out, const std::string& text) {
    out.Write(text.data(), text.size());
    return out;
}

Output& WriteDecimal(Output& out, unsigned long long value, bool negative) {
    char text[24];
    char* p = text + sizeof text;
    do {
        *--p = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    if (negative)
        *--p = '-';
    out.Write(p, static_cast<size_t>(text + sizeof text - p));
    return out;
}

} // namespace talvik::cli
