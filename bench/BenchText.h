#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The load tool's text: fixed-width hex fields "cccc ssssssss tttttttttttt ", then a filler that
// depends only on the byte's position, ending in CR LF as chat lines do (LF alone at the minimal
// size), so that a line relay can carry it and a receiver can tell a whole text from a cut or
// spliced one without a table per sender.
namespace bench {

constexpr std::size_t textHeaderBytes = 27;
constexpr std::size_t minimumTextBytes = textHeaderBytes + 1;
constexpr std::uint32_t maximumClients = 0xffff;

struct TextStamp
{
    std::uint32_t client = 0;
    std::uint32_t sequence = 0;
    std::uint64_t sentMicros = 0;
};

enum class TextKind { Data, Sync, Corrupt };

// Holds the filler for one text size; writing and checking a text copy and compare against it.
class TextTemplate
{
public:
    explicit TextTemplate(std::size_t size);

    std::size_t size() const { return bytes.size(); }

    // Writes exactly size() bytes at out.
    void writeData(char *out, const TextStamp &stamp) const;
    // A text that only proves a connection is relayed to; round tells the rounds apart.
    void writeSync(char *out, std::uint32_t round) const;

    // stamp is set for Data; round for Sync.
    TextKind read(const char *text, std::size_t length, TextStamp &stamp,
                  std::uint32_t &round) const;

private:
    std::string bytes;
};

std::uint64_t monotonicMicros();

} // namespace bench
