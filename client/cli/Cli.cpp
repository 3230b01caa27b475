#include "Cli.h"

#include <cctype>
#include <cstdio>
#include <memory>

namespace talvik::cli {

namespace {

constexpr uint32_t kMaxReadLength = 1u << 20;
constexpr uint32_t kMaxCount = 1000000;
constexpr uint32_t kMaxCancelAfterMs = 3600000;

// "0x" and at least `digits` upper-case hexadecimal digits.
std::string Hex(uint32_t value, int digits) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (int i = 0; i < digits || value != 0; ++i, value >>= 4)
        text.insert(text.begin(), kDigits[value & 0xF]);
    return "0x" + text;
}

// One line without its end; false at the end of the stream when nothing was left to read.
bool ReadLine(std::FILE* file, std::string& line) {
    line.clear();
    for (int c; (c = std::fgetc(file)) != EOF;) {
        if (c == '\n')
            return true;
        line += static_cast<char>(c);
    }
    return !line.empty();
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

void PrintResult(Output& out, const Result& r) {
    out << "  status  " << StatusName(r.status) << " (error " << r.error << "), " << r.bytes
        << (r.bytes == 1 ? " byte" : " bytes") << "\n";
}

void PrintData(Output& out, const uint8_t* data, uint32_t length) {
    if (length != 0)
        out << "  data    " << FormatHex(data, length) << "\n";
}

// Words after the command, as --name value pairs and --flags.
class Args {
public:
    Args(const std::vector<std::string>& words, size_t first) : m_words(words), m_pos(first) {}
    bool Done() const { return m_pos >= m_words.size(); }
    const std::string& Next() { return m_words[m_pos++]; }
    bool Value(std::string& value) {
        if (Done())
            return false;
        value = Next();
        return true;
    }

private:
    const std::vector<std::string>& m_words;
    size_t m_pos;
};

struct Common {
    std::string device; // index into the list, or a path; empty: the first colorimeter
};

int Usage(Output& err, const std::string& why) {
    err << "talvikctl: " << why << "\n";
    PrintUsage(err);
    return kExitUsage;
}

int OpenDevice(Client& client, const Common& common, std::unique_ptr<Device>& device, Output& out) {
    std::string path = common.device;
    const auto index = ParseNumber(common.device.empty() ? "0" : common.device, 0xFFFF);
    if (common.device.empty() || index) {
        std::vector<std::string> paths;
        const Result listed = client.ListDevices(paths);
        if (!listed.Ok()) {
            out << "list    " << StatusName(listed.status) << " (error " << listed.error << ")\n";
            return kExitRequestFailed;
        }
        if (*index >= paths.size()) {
            out << "no colorimeter " << *index << " (" << paths.size() << " present)\n";
            return kExitRequestFailed;
        }
        path = paths[*index];
    }
    const Result opened = client.Open(path, device);
    if (!opened.Ok()) {
        out << "open    " << path << ": " << StatusName(opened.status) << " (error " << opened.error
            << ")\n";
        return kExitRequestFailed;
    }
    return kExitOk;
}

int List(Client& client, Output& out) {
    std::vector<std::string> paths;
    const Result r = client.ListDevices(paths);
    if (!r.Ok()) {
        out << "list    " << StatusName(r.status) << " (error " << r.error << ")\n";
        return kExitRequestFailed;
    }
    out << paths.size() << (paths.size() == 1 ? " colorimeter" : " colorimeters") << "\n";
    for (size_t i = 0; i < paths.size(); ++i)
        out << "  " << i << "  " << paths[i] << "\n";
    return kExitOk;
}

int Vendor(Args& args, Client& client, const Common& common, Output& out, Output& err) {
    std::optional<Direction> direction;
    std::optional<uint32_t> request, value = 0u, index = 0u, length;
    std::optional<std::vector<uint8_t>> data;
    std::string text;
    while (!args.Done()) {
        const std::string name = args.Next();
        if (name == "--in" || name == "--out") {
            direction = name == "--in" ? Direction::DeviceToHost : Direction::HostToDevice;
            continue;
        }
        if (!args.Value(text))
            return Usage(err, name + " needs a value");
        if (name == "--request" && !(request = ParseNumber(text, 0xFF)))
            return Usage(err, "bad --request " + text + " (0..0xFF)");
        else if (name == "--value" && !(value = ParseNumber(text, 0xFFFF)))
            return Usage(err, "bad --value " + text + " (0..0xFFFF)");
        else if (name == "--index" && !(index = ParseNumber(text, 0xFFFF)))
            return Usage(err, "bad --index " + text + " (0..0xFFFF)");
        else if (name == "--length" && !(length = ParseNumber(text, kMaxControlLength)))
            return Usage(err, "bad --length " + text + " (0..65535)");
        else if (name == "--data" && !(data = ParseHex(text)))
            return Usage(err, "bad --data " + text + " (pairs of hex digits)");
        else if (name != "--request" && name != "--value" && name != "--index" &&
                 name != "--length" && name != "--data")
            return Usage(err, "unknown option " + name);
    }
    if (!direction)
        return Usage(err, "vendor needs --in or --out");
    if (!request)
        return Usage(err, "vendor needs --request");
    if (data && *direction == Direction::DeviceToHost)
        return Usage(err, "--data goes with --out");
    if (data && length && *length != data->size())
        return Usage(err, "--length differs from the length of --data");
    if (data && data->size() > kMaxControlLength)
        return Usage(err, "--data is longer than 65535 bytes");

    std::vector<uint8_t> buffer = data ? *data : std::vector<uint8_t>(length ? *length : 0, 0);
    const uint32_t size = static_cast<uint32_t>(buffer.size());
    const bool in = *direction == Direction::DeviceToHost;

    std::unique_ptr<Device> device;
    if (int rc = OpenDevice(client, common, device, out))
        return rc;

    const auto req = static_cast<uint8_t>(*request);
    const auto val = static_cast<uint16_t>(*value);
    const auto idx = static_cast<uint16_t>(*index);
    out << "vendor " << (in ? "IN " : "OUT") << " request " << Hex(req, 2) << " value "
        << Hex(val, 4) << " index " << Hex(idx, 4) << " length " << size << "\n";
    const VendorBlock block = EncodeVendorBlock(*direction, req, val, idx);
    out << "  block   " << FormatHex(block.data(), block.size()) << "\n";
    if (!in)
        PrintData(out, buffer.data(), size);
    const Result r = device->VendorRequest(*direction, req, val, idx, buffer.data(), size);
    PrintResult(out, r);
    if (in)
        PrintData(out, buffer.data(), r.bytes);
    return r.Ok() ? kExitOk : kExitRequestFailed;
}

int Read(Args& args, Client& client, const Common& common, Output& out, Output& err) {
    uint32_t count = 1, length = 64;
    std::optional<uint32_t> cancelAfter; // ms; a read not ended by then is cancelled
    std::string text;
    while (!args.Done()) {
        const std::string name = args.Next();
        if (!args.Value(text))
            return Usage(err, name + " needs a value");
        std::optional<uint32_t> number;
        if (name == "--count") {
            if (!(number = ParseNumber(text, kMaxCount)) || *number == 0)
                return Usage(err, "bad --count " + text + " (1..1000000)");
            count = *number;
        } else if (name == "--length") {
            if (!(number = ParseNumber(text, kMaxReadLength)))
                return Usage(err, "bad --length " + text + " (0..1048576)");
            length = *number;
        } else if (name == "--cancel-after") {
            if (!(cancelAfter = ParseNumber(text, kMaxCancelAfterMs)))
                return Usage(err, "bad --cancel-after " + text + " (0..3600000 ms)");
        } else {
            return Usage(err, "unknown option " + name);
        }
    }
    std::unique_ptr<Device> device;
    if (int rc = OpenDevice(client, common, device, out))
        return rc;
    int rc = kExitOk;
    std::vector<uint8_t> buffer(length);
    for (uint32_t i = 1; i <= count; ++i) {
        out << "read " << i << "/" << count << " length " << length << "\n";
        Operation read = device->StartReadInterrupt(buffer.data(), length);
        if (cancelAfter && !read.WaitFor(*cancelAfter)) {
            out << "  cancel  after " << *cancelAfter << " ms\n";
            read.Cancel();
        }
        const Result r = read.Wait();
        PrintResult(out, r);
        PrintData(out, buffer.data(), r.bytes);
        if (!r.Ok())
            rc = kExitRequestFailed;
    }
    return rc;
}

int Script(Args& args, Client& client, const Common& common, Output& out, Output& err) {
    std::string file;
    if (!args.Value(file) || !args.Done())
        return Usage(err, "script needs one file (- for standard input)");
    std::unique_ptr<std::FILE, FileCloser> opened;
    std::FILE* in = stdin;
    if (file != "-") {
        opened.reset(std::fopen(file.c_str(), "r"));
        if (!opened)
            return Usage(err, "cannot read " + file);
        in = opened.get();
    }
    int rc = kExitOk;
    std::string line;
    while (ReadLine(in, line)) {
        std::vector<std::string> words = SplitWords(line);
        if (words.empty())
            continue;
        if (words[0] == "script")
            return Usage(err, "scripts do not nest");
        out << "> " << line << "\n";
        if (!common.device.empty() && words[0] != "--device") {
            words.insert(words.begin(), common.device);
            words.insert(words.begin(), "--device");
        }
        const int lineRc = Run(words, client, out, err);
        if (lineRc == kExitUsage)
            return lineRc;
        if (lineRc != kExitOk)
            rc = lineRc;
    }
    return rc;
}

} // namespace

std::optional<uint32_t> ParseNumber(const std::string& text, uint32_t max) {
    int base = 10;
    size_t pos = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        pos = 2;
    }
    if (pos >= text.size())
        return std::nullopt;
    uint64_t value = 0;
    for (; pos < text.size(); ++pos) {
        const unsigned char c = static_cast<unsigned char>(text[pos]);
        int digit;
        if (std::isdigit(c))
            digit = c - '0';
        else if (base == 16 && std::isxdigit(c))
            digit = std::tolower(c) - 'a' + 10;
        else
            return std::nullopt;
        value = value * base + digit;
        if (value > max)
            return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

std::optional<std::vector<uint8_t>> ParseHex(const std::string& text) {
    std::vector<uint8_t> bytes;
    int high = -1;
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == ' ' || c == ':' || c == '-' || c == ',') {
            if (high >= 0)
                return std::nullopt; // a separator inside a pair
            continue;
        }
        if (!std::isxdigit(c))
            return std::nullopt;
        const int digit = std::isdigit(c) ? c - '0' : std::tolower(c) - 'a' + 10;
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<uint8_t>(high << 4 | digit));
            high = -1;
        }
    }
    if (high >= 0)
        return std::nullopt;
    return bytes;
}

std::string FormatHex(const uint8_t* data, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 3);
    for (size_t i = 0; i < length; ++i) {
        if (i != 0)
            text += ' ';
        text += digits[data[i] >> 4];
        text += digits[data[i] & 0xF];
    }
    return text;
}

std::vector<std::string> SplitWords(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    for (const char c : line) {
        if (c == '#')
            break;
        if (std::isspace(static_cast<unsigned char>(c))) {
            if (!word.empty())
                words.push_back(std::move(word));
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty())
        words.push_back(std::move(word));
    return words;
}

void PrintUsage(Output& out) {
    out << "usage: talvikctl [--device N|PATH] COMMAND\n"
           "  list                                   colorimeters present\n"
           "  vendor --in|--out --request R [--value V] [--index I] [--length N | --data HEX]\n"
           "                                         one vendor control transfer\n"
           "  read [--count N] [--length N] [--cancel-after MS]\n"
           "                                         reads of the interrupt pipe (64 bytes),\n"
           "                                         each cancelled if not ended within MS\n"
           "  script FILE|-                          one command per line\n"
           "numbers are decimal or 0x-hexadecimal; HEX is pairs of hex digits\n";
}

int Run(const std::vector<std::string>& words, Client& client, Output& out, Output& err) {
    Common common;
    size_t pos = 0;
    if (pos < words.size() && words[pos] == "--device") {
        if (pos + 1 >= words.size())
            return Usage(err, "--device needs a value");
        common.device = words[pos + 1];
        pos += 2;
    }
    if (pos >= words.size())
        return Usage(err, "no command");
    const std::string& command = words[pos];
    Args args(words, pos + 1);
    if (command == "list")
        return args.Done() ? List(client, out) : Usage(err, "list takes no options");
    if (command == "vendor")
        return Vendor(args, client, common, out, err);
    if (command == "read")
        return Read(args, client, common, out, err);
    if (command == "script")
        return Script(args, client, common, out, err);
    if (command == "help" || command == "--help" || command == "-h") {
        PrintUsage(out);
        return kExitOk;
    }
    return Usage(err, "unknown command " + command);
}

} // namespace talvik::cli
