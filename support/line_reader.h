// Reading a text file line by line through a fixed buffer, so that a file of
// any size costs the same memory (metaData.txt is writable by everyone).
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "platform/files.h"

class LineReader {
public:
    enum class Result { Line, TooLong, End, Failed };

    // Lines of more than `maxLineBytes` bytes are cut there.
    explicit LineReader(std::size_t maxLineBytes);

    // Opens the file without following a link (plat::FileReader).
    bool Open(const std::wstring& path);
    // Reads from a file the caller has opened and keeps open meanwhile.
    void Use(plat::PlainFile& file);

    // The next line's bytes, without its line feed. TooLong: the line has more
    // than the limit; `line` holds its first bytes and the rest is left unread
    // (readers stop there).
    // A last line without a line feed is a line; End comes after it.
    // Failed: reading failed, the last error says why.
    Result Next(std::string& line);

    // Whether the line Next gave last ended with a line feed.
    bool EndedWithFeed() const { return endedWithFeed_; }

private:
    plat::FileReader file_;
    plat::PlainFile* plain_ = nullptr;
    std::vector<char> buffer_;
    std::size_t maxLineBytes_, start_ = 0, end_ = 0;
    bool atEnd_ = false, endedWithFeed_ = false;
};
