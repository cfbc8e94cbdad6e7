#include "bench/BenchText.h"

#include <cstring>
#include <ctime>

namespace bench {

namespace {

constexpr char hexDigits[] = "0123456789abcdef";

void writeHex(char *out, std::uint64_t value, int digits)
{
    for (int index = digits - 1; index >= 0; --index) {
        out[index] = hexDigits[value & 0xf];
        value >>= 4;
    }
}

bool readHex(const char *text, int digits, std::uint64_t &value)
{
    value = 0;
    for (int index = 0; index < digits; ++index) {
        const char c = text[index];
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else
            return false;
        value = (value << 4) | std::uint64_t(digit);
    }
    return true;
}

} // namespace

TextTemplate::TextTemplate(std::size_t size)
    : bytes(size < minimumTextBytes ? minimumTextBytes : size, ' ')
{
    for (std::size_t index = textHeaderBytes; index + 1 < bytes.size(); ++index)
        bytes[index] = char('a' + index % 26);
    // Chat lines end in CR LF; the line relay only needs the LF.
    bytes.back() = '\n';
    if (bytes.size() > minimumTextBytes)
        bytes[bytes.size() - 2] = '\r';
}

void TextTemplate::writeData(char *out, const TextStamp &stamp) const
{
    std::memcpy(out, bytes.data(), bytes.size());
    writeHex(out, stamp.client, 4);
    writeHex(out + 5, stamp.sequence, 8);
    writeHex(out + 14, stamp.sentMicros & 0xffffffffffffULL, 12);
}

void TextTemplate::writeSync(char *out, std::uint32_t round) const
{
    std::memcpy(out, bytes.data(), bytes.size());
    std::memcpy(out, "SYNC", 4);
    writeHex(out + 5, round, 8);
}

TextKind TextTemplate::read(const char *text, std::size_t length, TextStamp &stamp,
                            std::uint32_t &round) const
{
    if (length != bytes.size() || text[4] != ' ' || text[13] != ' ' || text[26] != ' '
        || std::memcmp(text + textHeaderBytes, bytes.data() + textHeaderBytes,
                       length - textHeaderBytes)
                != 0)
        return TextKind::Corrupt;
    std::uint64_t value = 0;
    if (std::memcmp(text, "SYNC", 4) == 0) {
        if (!readHex(text + 5, 8, value))
            return TextKind::Corrupt;
        round = std::uint32_t(value);
        return TextKind::Sync;
    }
    if (!readHex(text, 4, value))
        return TextKind::Corrupt;
    stamp.client = std::uint32_t(value);
    if (!readHex(text + 5, 8, value))
        return TextKind::Corrupt;
    stamp.sequence = std::uint32_t(value);
    if (!readHex(text + 14, 12, value))
        return TextKind::Corrupt;
    stamp.sentMicros = value;
    return TextKind::Data;
}

std::uint64_t monotonicMicros()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::uint64_t(now.tv_sec) * 1000000u + std::uint64_t(now.tv_nsec) / 1000u;
}

} // namespace bench
