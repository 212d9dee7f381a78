#include "writer/sink.hpp"

#include <new>

namespace norvik {

namespace {
constexpr std::size_t kBufferSize = 1 << 20;
constexpr std::size_t kSmallSize = 4096;  // the fallback buffer, small_
static_assert(fmt::kListRoom <= kSmallSize, "a list call must fit the smallest buffer");
}

Sink::Sink(std::FILE* f) : file_(f) {
    take(kBufferSize);
    std::setvbuf(file_, nullptr, _IONBF, 0);
}

Sink::Sink(std::size_t expected) : file_(nullptr), memory_(true) {
    take(expected + expected / 8 + kSmallSize);
}

// A buffer of `room` bytes, or the small one when there is no memory for it.
void Sink::take(std::size_t room) {
    heap_.reset(new (std::nothrow) char[room]);
    if (heap_) {
        begin_ = heap_.get();
        end_ = begin_ + room;
    } else {
        begin_ = small_;
        end_ = small_ + sizeof small_;
    }
    p_ = begin_;
}

Sink::~Sink() {
    if (file_) close();
}

// A part in memory outgrew its room: twice the room, the bytes kept. With no
// memory for that the part fails, and its buffer is reused from the start so
// that the writer can go on to the end of its object harmlessly.
void Sink::grow() {
    const std::size_t used = size();
    const std::size_t room = static_cast<std::size_t>(end_ - begin_) * 2;
    char* bigger = failed_ ? nullptr : new (std::nothrow) char[room];
    if (!bigger) {
        failed_ = true;
        p_ = begin_;
        return;
    }
    std::memcpy(bigger, begin_, used);
    heap_.reset(bigger);
    begin_ = bigger;
    p_ = bigger + used;
    end_ = bigger + room;
}

void Sink::append(const Sink& part) {
    flush();
    const std::size_t n = part.size();
    if (failed_ || n == 0) return;
    if (std::fwrite(part.data(), 1, n, file_) != n) failed_ = true;
}

void Sink::flush() {
    if (memory_) {
        grow();
        return;
    }
    std::size_t n = static_cast<std::size_t>(p_ - begin_);
    p_ = begin_;
    if (failed_ || n == 0) return;
    if (std::fwrite(begin_, 1, n, file_) != n) failed_ = true;
}

void Sink::put_slow(const char* s, std::size_t n) {
    while (n > 0) {
        if (p_ == end_) flush();
        std::size_t room = static_cast<std::size_t>(end_ - p_);
        std::size_t k = n < room ? n : room;
        std::memcpy(p_, s, k);
        p_ += k;
        s += k;
        n -= k;
    }
}

void Sink::numbers(const float* x, std::size_t n, bool first) {
    while (n > 0) {
        const std::size_t k = n < fmt::kListMax ? n : fmt::kListMax;
        commit(fmt::write_f4_list(claim(fmt::kListRoom), x, k, first, path_));
        x += k;
        n -= k;
        first = false;
    }
}

void Sink::numbers(const std::uint32_t* v, std::size_t n, bool first) {
    while (n > 0) {
        const std::size_t k = n < fmt::kListMax ? n : fmt::kListMax;
        commit(fmt::write_u32_list(claim(fmt::kListRoom), v, k, first, path_));
        v += k;
        n -= k;
        first = false;
    }
}

void Sink::json_text(host::Text t) {
    static const char kHex[] = "0123456789abcdef";
    const char* s = t.data;
    const char* e = s + t.size;
    while (s < e) {
        const char* run = s;
        while (s < e && static_cast<unsigned char>(*s) >= 0x20 && *s != '"' && *s != '\\') ++s;
        put(run, static_cast<std::size_t>(s - run));
        if (s == e) break;
        unsigned char c = static_cast<unsigned char>(*s++);
        reserve(6);
        if (c == '"' || c == '\\') {
            *p_++ = '\\';
            *p_++ = static_cast<char>(c);
        } else {
            std::memcpy(p_, "\\u00", 4);
            p_[4] = kHex[c >> 4];
            p_[5] = kHex[c & 15];
            p_ += 6;
        }
    }
}

bool Sink::close() {
    if (memory_) return !failed_;
    flush();
    std::FILE* f = file_;
    file_ = nullptr;
    if (!f) return !failed_;
    if (std::fflush(f) != 0 || std::ferror(f)) failed_ = true;
    if (std::fclose(f) != 0) failed_ = true;
    return !failed_;
}

}  // namespace norvik
