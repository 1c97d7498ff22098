#include "support/line_reader.h"

#include <algorithm>
#include <cstring>

LineReader::LineReader(std::size_t maxLineBytes) : buffer_(64 * 1024), maxLineBytes_(maxLineBytes) {}

bool LineReader::Open(const std::wstring& path) {
    start_ = end_ = 0;
    atEnd_ = endedWithFeed_ = false;
    plain_ = nullptr;
    return file_.Open(path);
}

void LineReader::Use(plat::PlainFile& file) {
    start_ = end_ = 0;
    atEnd_ = endedWithFeed_ = false;
    plain_ = &file;
}

LineReader::Result LineReader::Next(std::string& line) {
    line.clear();
    endedWithFeed_ = false;
    bool any = false;
    for (;;) {
        if (start_ == end_) {
            if (atEnd_) return any ? Result::Line : Result::End;
            std::uint32_t read = 0;
            const auto capacity = static_cast<std::uint32_t>(buffer_.size());
            if (!(plain_ ? plain_->Read(buffer_.data(), capacity, read) : file_.Read(buffer_.data(), capacity, read)))
                return Result::Failed;
            start_ = 0;
            end_ = read;
            if (read == 0) atEnd_ = true;
            continue;
        }
        any = true;
        const char* begin = buffer_.data() + start_;
        const auto* feed = static_cast<const char*>(std::memchr(begin, '\n', end_ - start_));
        const std::size_t length = feed ? static_cast<std::size_t>(feed - begin) : end_ - start_;
        const std::size_t room = maxLineBytes_ - line.size();
        if (length > room) {
            // Never read on to the line's end: a file of one endless line
            // costs no more time than memory.
            line.append(begin, room);
            start_ += room;
            return Result::TooLong;
        }
        line.append(begin, length);
        start_ += length;
        if (feed) {
            ++start_;
            endedWithFeed_ = true;
            return Result::Line;
        }
    }
}
