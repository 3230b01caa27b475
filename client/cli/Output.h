// Where talvikctl's commands write: bytes out, with text and whole numbers as the only things put
// there. The standard streams would bring the C++ runtime's whole locale machinery into
// talvikctl.exe for no more than this.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <type_traits>

namespace talvik::cli {

class Output {
public:
    virtual ~Output() = default;
    virtual void Write(const char* data, size_t length) = 0;
};

// A C stream (stdout, stderr), with the buffering the C runtime gives it.
class FileOutput : public Output {
public:
    explicit FileOutput(std::FILE* file) : m_file(file) {}
    void Write(const char* data, size_t length) override;

private:
    std::FILE* m_file;
};

// Keeps what is written, for callers that look at it afterwards.
class StringOutput : public Output {
public:
    void Write(const char* data, size_t length) override { m_text.append(data, length); }
    const std::string& str() const { return m_text; }
    void str(const std::string& text) { m_text = text; }

private:
    std::string m_text;
};

Output& operator<<(Output& out, const char* text);
Output& operator<<(Output& out, const std::string& text);
Output& WriteDecimal(Output& out, unsigned long long value, bool negative);

// Whole numbers in decimal; characters and booleans are no numbers here.
template <typename T,
          typename = std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool> &&
                                      !std::is_same_v<T, char>>>
Output& operator<<(Output& out, T value) {
    if constexpr (std::is_signed_v<T>) {
        const bool negative = value < 0;
        // Negated in the unsigned type, so that the most negative value has its magnitude.
        unsigned long long magnitude = static_cast<unsigned long long>(value);
        return WriteDecimal(out, negative ? 0 - magnitude : magnitude, negative);
    } else {
        return WriteDecimal(out, value, false);
    }
}

} // namespace talvik::cli
