// Writing and reading of the control file and the call record; pure text
// handling so the stand-ins and the tests agree on one tested implementation.
#include "tests/fake_sensor/fake_config.h"

#include <cstdio>
#include <cstdlib>

namespace fakesensor {

namespace {

// Names are ASCII by contract; anything else is written as '?', which the
// parser then keeps, so a bad name shows up instead of vanishing.
std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out.push_back(c > 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
    return out;
}

std::wstring Widen(const std::string& text) {
    std::wstring out;
    for (char c : text) out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return out;
}

wchar_t FoldLower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c; }
wchar_t FoldUpper(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 32) : c; }

bool EqualNoCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldLower(a[i]) != FoldLower(b[i])) return false;
    }
    return true;
}

std::vector<std::string> SplitWords(const std::string& line) {
    std::vector<std::string> words;
    size_t pos = 0;
    while (pos < line.size()) {
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
        size_t end = pos;
        while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
        if (end > pos) words.push_back(line.substr(pos, end - pos));
        pos = end;
    }
    return words;
}

bool ParseUnsigned(const std::string& text, int base, unsigned long max, unsigned long* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    unsigned long parsed = std::strtoul(text.c_str(), &end, base);
    if (*end != '\0' || text[0] == '-' || text[0] == '+' || parsed > max) return false;
    *value = parsed;
    return true;
}

bool ParseFlag(const std::string& text, bool* flag) {
    if (text == "0" || text == "1") {
        *flag = text == "1";
        return true;
    }
    return false;
}

bool ParseHexWord(const std::string& text, USHORT* value) {
    unsigned long parsed;
    if (!ParseUnsigned(text, 16, 0xFFFF, &parsed)) return false;
    *value = static_cast<USHORT>(parsed);
    return true;
}

bool ParseLength(const std::string& text, USHORT* value) {
    unsigned long parsed;
    if (!ParseUnsigned(text, 10, 0xFFFF, &parsed)) return false;
    *value = static_cast<USHORT>(parsed);
    return true;
}

const char* CaseName(PathCase pathCase) {
    switch (pathCase) {
        case kPathUpper: return "upper";
        case kPathLower: return "lower";
        default: return "asis";
    }
}

bool ParseInterfaceKey(const std::string& key, const std::string& value, InterfaceConfig* out) {
    if (key == "vid") return ParseHexWord(value, &out->vendorId);
    if (key == "pid") return ParseHexWord(value, &out->productId);
    if (key == "version") return ParseHexWord(value, &out->versionNumber);
    if (key == "present") return ParseFlag(value, &out->present);
    if (key == "attributes") return ParseFlag(value, &out->attributesOk);
    if (key == "preparsed") return ParseFlag(value, &out->preparsedOk);
    if (key == "flush") return ParseFlag(value, &out->flushOk);
    if (key == "setfeature") return ParseFlag(value, &out->setFeatureOk);
    if (key == "usagepage") return ParseHexWord(value, &out->usagePage);
    if (key == "usage") return ParseHexWord(value, &out->usage);
    if (key == "input") return ParseLength(value, &out->inputReportLength);
    if (key == "output") return ParseLength(value, &out->outputReportLength);
    if (key == "feature") return ParseLength(value, &out->featureReportLength);
    if (key == "caps") {
        unsigned long parsed;
        if (!ParseUnsigned(value, 16, 0xFFFFFFFFul, &parsed)) return false;
        out->capsStatus = static_cast<DWORD>(parsed);
        return true;
    }
    if (key == "case") {
        if (value == "asis") out->pathCase = kPathAsIs;
        else if (value == "upper") out->pathCase = kPathUpper;
        else if (value == "lower") out->pathCase = kPathLower;
        else return false;
        return true;
    }
    return false;
}

bool ParseInterfaceLine(const std::vector<std::string>& words, InterfaceConfig* out) {
    if (words.size() < 2) return false;
    *out = InterfaceConfig();
    out->pipe = Widen(words[1]);
    for (size_t i = 2; i < words.size(); ++i) {
        size_t eq = words[i].find('=');
        if (eq == std::string::npos) return false;
        if (!ParseInterfaceKey(words[i].substr(0, eq), words[i].substr(eq + 1), out)) return false;
    }
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ParseHexBytes(const std::string& text, std::vector<BYTE>* bytes) {
    bytes->clear();
    if (text == "-") return true;
    if (text.size() % 2 != 0) return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        int high = HexDigit(text[i]);
        int low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes->push_back(static_cast<BYTE>(high * 16 + low));
    }
    return true;
}

bool ParseRecordLine(const std::string& line, CallRecord* record) {
    std::vector<std::string> words = SplitWords(line);
    if (words.size() != 5) return false;
    char* end = nullptr;
    record->qpc = std::strtoull(words[0].c_str(), &end, 10);
    if (*end != '\0' || words[0].empty()) return false;
    record->call = words[1];
    unsigned long result;
    if (!ParseUnsigned(words[2], 16, 0xFFFFFFFFul, &result)) return false;
    record->result = static_cast<DWORD>(result);
    record->pipe = Widen(words[3]);
    return ParseHexBytes(words[4], &record->data);
}

}  // namespace

std::string FormatControlConfig(const ControlConfig& config) {
    std::string text = "# velatrix fake sensor control file\r\n";
    char line[512];
    if (!config.eventName.empty()) text += "event " + Narrow(config.eventName) + "\r\n";
    if (!config.generationName.empty()) text += "generation " + Narrow(config.generationName) + "\r\n";
    std::snprintf(line, sizeof line, "switch classdevs %lu\r\nswitch enum %lu\r\nswitch detail %lu\r\n",
                  static_cast<unsigned long>(config.classDevsError),
                  static_cast<unsigned long>(config.enumError),
                  static_cast<unsigned long>(config.detailError));
    text += line;
    for (const InterfaceConfig& i : config.interfaces) {
        std::snprintf(line, sizeof line,
                      " vid=%04x pid=%04x version=%04x present=%d case=%s attributes=%d preparsed=%d"
                      " caps=%08lx usagepage=%04x usage=%04x input=%u output=%u feature=%u flush=%d"
                      " setfeature=%d\r\n",
                      i.vendorId, i.productId, i.versionNumber, i.present ? 1 : 0, CaseName(i.pathCase),
                      i.attributesOk ? 1 : 0, i.preparsedOk ? 1 : 0,
                      static_cast<unsigned long>(i.capsStatus), i.usagePage, i.usage,
                      i.inputReportLength, i.outputReportLength, i.featureReportLength,
                      i.flushOk ? 1 : 0, i.setFeatureOk ? 1 : 0);
        text += "interface " + Narrow(i.pipe) + line;
    }
    return text;
}

bool ParseControlConfig(const std::string& text, ControlConfig* config) {
    *config = ControlConfig();
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::vector<std::string> words = SplitWords(line);
        if (words.empty() || words[0][0] == '#') continue;
        if (words[0] == "interface") {
            InterfaceConfig item;
            if (!ParseInterfaceLine(words, &item)) return false;
            config->interfaces.push_back(item);
        } else if (words[0] == "event" && words.size() == 2) {
            config->eventName = Widen(words[1]);
        } else if (words[0] == "generation" && words.size() == 2) {
            config->generationName = Widen(words[1]);
        } else if (words[0] == "switch" && words.size() == 3) {
            unsigned long value;
            if (!ParseUnsigned(words[2], 10, 0xFFFFFFFFul, &value)) return false;
            if (words[1] == "classdevs") config->classDevsError = static_cast<DWORD>(value);
            else if (words[1] == "enum") config->enumError = static_cast<DWORD>(value);
            else if (words[1] == "detail") config->detailError = static_cast<DWORD>(value);
            else return false;
        } else {
            return false;
        }
    }
    return true;
}

std::wstring InterfacePath(const InterfaceConfig& interfaceConfig) {
    std::wstring name = interfaceConfig.pipe;
    for (wchar_t& c : name) {
        if (interfaceConfig.pathCase == kPathUpper) c = FoldUpper(c);
        if (interfaceConfig.pathCase == kPathLower) c = FoldLower(c);
    }
    return kPipePrefix + name;
}

int FindInterfaceByFileName(const ControlConfig& config, const std::wstring& fileName) {
    if (fileName.size() < 2 || fileName[0] != L'\\') return -1;
    std::wstring name = fileName.substr(1);
    for (size_t i = 0; i < config.interfaces.size(); ++i) {
        if (EqualNoCase(config.interfaces[i].pipe, name)) return static_cast<int>(i);
    }
    return -1;
}

std::string FormatCallRecord(const CallRecord& record) {
    char head[96];
    std::snprintf(head, sizeof head, "%llu %s %lx ", static_cast<unsigned long long>(record.qpc),
                  record.call.c_str(), static_cast<unsigned long>(record.result));
    std::string line = head + Narrow(record.pipe) + " ";
    if (record.data.empty()) line += "-";
    static const char kHex[] = "0123456789abcdef";
    for (BYTE b : record.data) {
        line.push_back(kHex[b >> 4]);
        line.push_back(kHex[b & 15]);
    }
    return line + "\r\n";
}

std::vector<CallRecord> ParseCallRecords(const std::string& text, size_t* consumed) {
    std::vector<CallRecord> records;
    size_t pos = 0;
    for (;;) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) break;
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        CallRecord record;
        if (ParseRecordLine(line, &record)) records.push_back(record);
    }
    if (consumed) *consumed = pos;
    return records;
}

void ReadNewCallRecords(const std::wstring& path, CallRecordReader* reader, std::vector<CallRecord>* records) {
    // The stand-ins keep appending while the test reads, so every kind of sharing is allowed.
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(reader->offset);
    if (SetFilePointerEx(file, position, nullptr, FILE_BEGIN)) {
        char buffer[65536];
        DWORD got = 0;
        while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            reader->pending.append(buffer, got);
            reader->offset += got;
        }
    }
    CloseHandle(file);
    size_t consumed = 0;
    std::vector<CallRecord> fresh = ParseCallRecords(reader->pending, &consumed);
    reader->pending.erase(0, consumed);
    records->insert(records->end(), fresh.begin(), fresh.end());
}

}  // namespace fakesensor
