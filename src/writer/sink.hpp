// The one output sink of the documents: a large buffer in front of a C
// runtime FILE, with the number formatters. Every write and the close are
// checked; after the first failure nothing more is written.
//
// A sink may instead hold a part of a document in memory, formatted on a
// thread of its own (see writer/parallel.hpp). Such a part can print
// nothing and raise nothing: a message fails it, and the part is then
// written again the ordinary way, where the message is printed in its place.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "host/layouts.hpp"
#include "writer/format.hpp"

namespace norvik {

class Sink {
public:
    // Takes ownership of an open file; the stream's own buffering is turned
    // off, since whole blocks are handed to it.
    explicit Sink(std::FILE* f);
    // A part held in memory, with room for about `expected` bytes at first.
    explicit Sink(std::size_t expected);
    ~Sink();
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    template <std::size_t N>
    void lit(const char (&s)[N]) {
        put(s, N - 1);
    }
    void put(const char* s, std::size_t n) {
        if (static_cast<std::size_t>(end_ - p_) < n) [[unlikely]] {
            put_slow(s, n);
            return;
        }
        std::memcpy(p_, s, n);
        p_ += n;
    }
    void ch(char c) {
        reserve(1);
        *p_++ = c;
    }

    // "%.4f" and "%u", optionally preceded by a separator character.
    void f4(float x) {
        reserve(fmt::kMaxNumber);
        p_ = fmt::write_f4(p_, x);
    }
    void sep_f4(char sep, float x) {
        reserve(fmt::kMaxNumber + 1);
        *p_++ = sep;
        p_ = fmt::write_f4(p_, x);
    }
    // One element of a list: its numbers ("%.4f" for float, "%u" for
    // uint32) separated by commas, with a leading comma unless it is the
    // first element. Room for all of them is made once.
    template <class T0, class... T>
    void list(bool first, T0 x0, T... xs) {
        char* c = claim((1 + sizeof...(T)) * (fmt::kMaxNumber + 1));
        *c = ',';
        c += !first;
        c = number(c, x0);
        ((*c++ = ',', c = number(c, xs)), ...);
        commit(c);
    }

    // A run of list numbers ("%.4f" for float, "%u" for uint32) separated by
    // commas, with a leading comma unless `first`: through the fastest list
    // path of this processor.
    void numbers(const float* x, std::size_t n, bool first);
    void numbers(const std::uint32_t* v, std::size_t n, bool first);

    // A name or material text as the inside of a JSON string: quote and
    // backslash escaped, control bytes as \u00xx, everything else verbatim.
    void json_text(host::Text t);

    // Makes room for n bytes (n at most the buffer's size).
    void reserve(std::size_t n) {
        if (static_cast<std::size_t>(end_ - p_) < n) [[unlikely]]
            flush();
    }

    // Room for n bytes as a local cursor (no member reloads after each byte
    // stored); give the end back with commit().
    char* claim(std::size_t n) {
        reserve(n);
        return p_;
    }
    void commit(char* p) { p_ = p; }

    bool failed() const { return failed_; }
    // Writes out the buffer and closes the file; false if any write or the
    // close failed.
    bool close();

    // A message of the document's writer, printed to the C runtime's
    // standard output; a part in memory fails instead (see above).
    void say(const char* msg);

    // A part held in memory that cannot be finished on its thread.
    void give_up() { failed_ = true; }
    // A part held in memory: empty again, for the next part.
    void restart() {
        p_ = begin_;
        failed_ = false;
    }
    // A part held in memory: its bytes so far.
    const char* data() const { return begin_; }
    std::size_t size() const { return static_cast<std::size_t>(p_ - begin_); }
    // Writes a part held in memory after what this sink holds.
    void append(const Sink& part);

private:
    static char* number(char* c, float x) { return fmt::write_f4(c, x); }
    static char* number(char* c, std::uint32_t n) { return fmt::write_u32(c, n); }

    void take(std::size_t room);
    void flush();
    void grow();
    void put_slow(const char* s, std::size_t n);

    std::FILE* file_;
    bool memory_ = false;
    fmt::Path path_ = fmt::best_path();
    std::unique_ptr<char[]> heap_;
    char small_[4096];
    char* begin_;
    char* p_;
    char* end_;
    bool failed_ = false;
};

// Messages go to the C runtime's standard output, as they always have.
inline void say(const char* msg) { std::fputs(msg, stdout); }

inline void Sink::say(const char* msg) {
    if (memory_) [[unlikely]]
        failed_ = true;
    else
        norvik::say(msg);
}

}  // namespace norvik
