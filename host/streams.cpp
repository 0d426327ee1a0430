// Streams: the console stream the module registers, file streams (a log),
// and memory streams for tests.
#include "internal.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Stream {
  int kind = HOST_STREAM_NONE;
  bool open = true;
  long put_count = 0;
  bool token_error = false;
  std::vector<int> pushback; // last pushed is read first

  // Console: the record and callbacks given to Stream_MakeConStreamInstance.
  void *con = nullptr;
  QxPutFn put = nullptr;
  QxGetFn get = nullptr;
  QxFlushFn flush = nullptr;
  QxAtom name = 0;

  // File.
  FILE *fp = nullptr;

  // Memory.
  std::vector<int> codes;
  std::string text; // host_memory_string's copy
  bool fail = false;
  std::string fail_text = std::strerror(ENOSPC);
  std::string input;
  size_t input_pos = 0;
};

// Handles are table indices offset by a base above 2^32: a module that kept
// a stream in 32 bits would lose it at once instead of by luck.  Handles are
// never reused, so a stale handle is caught rather than reaching another
// stream.  Records are held by pointer so they stay put while a callback
// (the console's put, say) opens or closes other streams.
constexpr QxStream kHandleBase = QxStream(0x51) << 40;

std::vector<std::unique_ptr<Stream>> table;
std::string stream_error = "no stream error"; // the last failure's reason
bool stream_error_new = false; // recorded since Stream_errmes last answered

QxStream add(std::unique_ptr<Stream> s) {
  table.push_back(std::move(s));
  return kHandleBase + QxStream(table.size());
}

Stream *find(QxStream h) {
  if (h <= kHandleBase || h > kHandleBase + QxStream(table.size())) return nullptr;
  return table[size_t(h - kHandleBase - 1)].get();
}

Stream *find_open(QxStream h) {
  Stream *s = find(h);
  if (s == nullptr) {
    host::set_stream_error("no such stream");
    return nullptr;
  }
  if (!s->open) {
    host::set_stream_error("stream is closed");
    return nullptr;
  }
  return s;
}

// One byte to a file.  The stream is unbuffered, so a failing device
// (a disk that is full, /dev/full) is seen on this very write.
bool file_byte(Stream &s, unsigned char b) {
  if (std::fputc(b, s.fp) == EOF) {
    host::set_stream_error(std::strerror(errno));
    std::clearerr(s.fp);
    return false;
  }
  return true;
}

int put_code(Stream &s, QxStream h, int ch) {
  s.put_count++;
  switch (s.kind) {
  case HOST_STREAM_CONSOLE:
    // Callers may hand bytes over as signed chars (the module's history
    // listing does): -128..-1 stand for the bytes 128..255.
    if (ch >= -128 && ch <= -1) ch += 256;
    return s.put != nullptr ? s.put(ch, h) : -1;
  case HOST_STREAM_FILE:
    if (ch == 31) {
      // 31 is the engine's end-of-line code: lines read from the console end
      // in 31 and nl/0 writes 31.  In a file it is the ordinary newline, so a
      // log reads as plain text.
      return file_byte(s, '\n') ? ch : -1;
    }
    if (ch > 0xFF) {
      // A multibyte character packed into one code, high byte first.
      for (int shift = 16; shift > 0; shift -= 8) {
        int b = (ch >> shift) & 0xFF;
        if (b != 0 && !file_byte(s, (unsigned char)b)) return -1;
      }
    }
    return file_byte(s, (unsigned char)(ch & 0xFF)) ? ch : -1;
  case HOST_STREAM_MEMORY:
    if (s.fail) {
      host::set_stream_error(s.fail_text);
      return -1;
    }
    s.codes.push_back(ch); // verbatim: 31 stays 31, high bits stay
    return ch;
  }
  return -1;
}

int put_checked(int ch, QxStream h) {
  Stream *s = find_open(h);
  return s == nullptr ? -1 : put_code(*s, h, ch);
}

// printf-style text, then every byte (as 0..255) through the stream's put.
// Returns the number of bytes written, or -1 at the first failed byte.
int vprint(QxStream h, const char *format, va_list ap) {
  va_list again;
  va_copy(again, ap);
  int n = std::vsnprintf(nullptr, 0, format, ap);
  if (n < 0) {
    va_end(again);
    return -1;
  }
  std::vector<char> buf(size_t(n) + 1);
  std::vsnprintf(buf.data(), buf.size(), format, again);
  va_end(again);
  for (int i = 0; i < n; i++) {
    if (put_checked((unsigned char)buf[size_t(i)], h) == -1) return -1;
  }
  return n;
}

struct HostContext {
  const char *what;
} context = {"qxhost engine context"};

} // namespace

void host::set_stream_error(const std::string &text) {
  stream_error = text;
  stream_error_new = true;
}

extern "C" {

// ---- Engine names (console.h) -----------------------------------------------

QxStream Stream_MakeConStreamInstance(void *con, QxPutFn put, QxGetFn get,
                                      QxFlushFn flush, QxAtom name) {
  auto s = std::make_unique<Stream>();
  s->kind = HOST_STREAM_CONSOLE;
  s->con = con;
  s->put = put;
  s->get = get;
  s->flush = flush;
  s->name = name;
  return add(std::move(s));
}

void *Stream_GetStreamCon(QxStream stream) {
  Stream *s = find(stream);
  return s != nullptr && s->kind == HOST_STREAM_CONSOLE ? s->con : nullptr;
}

// The engine has two put-character entries (a raw one and a checked one);
// for this module they behave alike: the code reaches the stream, and the
// result is -1 on failure.
int Stream__sputc(int ch, QxStream stream) {
  return put_checked(ch, stream);
}

int Stream_sputc(int ch, QxStream stream) {
  return put_checked(ch, stream);
}

int Stream_sprnt(QxStream stream, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  int n = vprint(stream, format, ap);
  va_end(ap);
  return n;
}

int Stream_sprntln(QxStream stream, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  int n = vprint(stream, format, ap);
  va_end(ap);
  if (n < 0 || put_checked(31, stream) == -1) return -1;
  return n + 1;
}

// The reason of the last failure.  A failure of the stream layer itself (a
// put that failed, a stream not found or closed) recorded since the last
// question is the answer: callers ask right after the call that failed.
// Otherwise, while standard output's error indicator is set, the failure is
// a write of the caller's own to standard output, which the stream layer
// never sees; its reason is errno as that write left it (the console asks
// before it clears the indicator, with nothing in between that could fail),
// and it becomes the last failure.  Otherwise the last failure is told again.
const char *Stream_errmes(void) {
  if (!stream_error_new && std::ferror(stdout))
    stream_error = errno != 0 ? std::strerror(errno) : "output error";
  stream_error_new = false;
  return stream_error.c_str();
}

int Stream_sclose(QxStream stream) {
  host::counters.sclose++;
  host::counters.last_closed = stream;
  Stream *s = find_open(stream);
  if (s == nullptr) return -1;
  s->open = false;
  s->pushback.clear();
  if (s->fp != nullptr) {
    int rc = std::fclose(s->fp);
    s->fp = nullptr;
    if (rc != 0) {
      host::set_stream_error(std::strerror(errno));
      return -1;
    }
  }
  return 0;
}

int Stream_IsTokenError(QxStream stream) {
  Stream *s = find(stream);
  return s != nullptr && s->token_error;
}

void Stream_ClearErrorInfo(QxStream stream) {
  host::counters.clear_error_info++;
  if (Stream *s = find(stream)) s->token_error = false;
}

void S_FlushUngetbuff(QxStream stream) {
  host::counters.flush_ungetbuff++;
  if (Stream *s = find(stream)) s->pushback.clear();
}

// ---- host_ API (host.h) -----------------------------------------------------

QxStream host_open_file(const char *path, const char *mode) {
  FILE *fp = std::fopen(path, mode);
  if (fp == nullptr) {
    host::set_stream_error(std::strerror(errno));
    return 0;
  }
  if (std::strpbrk(mode, "wa+") != nullptr) std::setvbuf(fp, nullptr, _IONBF, 0);
  auto s = std::make_unique<Stream>();
  s->kind = HOST_STREAM_FILE;
  s->fp = fp;
  return add(std::move(s));
}

QxStream host_open_memory(void) {
  auto s = std::make_unique<Stream>();
  s->kind = HOST_STREAM_MEMORY;
  return add(std::move(s));
}

const int *host_memory_codes(QxStream stream, size_t *n) {
  Stream *s = find(stream);
  if (s == nullptr || s->kind != HOST_STREAM_MEMORY) {
    if (n != nullptr) *n = 0;
    return nullptr;
  }
  if (n != nullptr) *n = s->codes.size();
  return s->codes.data();
}

const char *host_memory_string(QxStream stream) {
  Stream *s = find(stream);
  if (s == nullptr || s->kind != HOST_STREAM_MEMORY) return nullptr;
  s->text.clear();
  for (int c : s->codes)
    s->text.push_back(char(c & 0xFF));
  return s->text.c_str();
}

void host_memory_clear(QxStream stream) {
  Stream *s = find(stream);
  if (s != nullptr && s->kind == HOST_STREAM_MEMORY) s->codes.clear();
}

void host_memory_fail(QxStream stream, int on) {
  Stream *s = find(stream);
  if (s != nullptr && s->kind == HOST_STREAM_MEMORY) s->fail = on != 0;
}

void host_memory_set_error_text(QxStream stream, const char *text) {
  Stream *s = find(stream);
  if (s != nullptr && s->kind == HOST_STREAM_MEMORY) s->fail_text = text;
}

void host_memory_set_input(QxStream stream, const char *text) {
  Stream *s = find(stream);
  if (s == nullptr || s->kind != HOST_STREAM_MEMORY) return;
  s->input = text;
  s->input_pos = 0;
}

int host_getc(QxStream stream) {
  Stream *s = find_open(stream);
  if (s == nullptr) return -1;
  if (!s->pushback.empty()) {
    int ch = s->pushback.back();
    s->pushback.pop_back();
    return ch;
  }
  switch (s->kind) {
  case HOST_STREAM_CONSOLE:
    return s->get != nullptr ? s->get(host_context(), stream) : -1;
  case HOST_STREAM_FILE: {
    int ch = std::fgetc(s->fp);
    if (ch == EOF) return -1;
    return ch == '\n' ? 31 : ch; // the engine's end-of-line code, as on output
  }
  case HOST_STREAM_MEMORY: {
    if (s->input_pos >= s->input.size()) return -1;
    int ch = (unsigned char)s->input[s->input_pos++];
    return ch == '\n' ? 31 : ch;
  }
  }
  return -1;
}

int host_ungetc(int ch, QxStream stream) {
  Stream *s = find_open(stream);
  if (s == nullptr) return -1;
  s->pushback.push_back(ch);
  return ch;
}

int host_flush(QxStream stream) {
  Stream *s = find_open(stream);
  if (s == nullptr) return -1;
  if (s->kind == HOST_STREAM_CONSOLE && s->flush != nullptr)
    return s->flush(host_context(), stream);
  if (s->kind == HOST_STREAM_FILE && std::fflush(s->fp) != 0) {
    host::set_stream_error(std::strerror(errno));
    return -1;
  }
  return 0;
}

void *host_context(void) {
  return &context;
}

int host_stream_kind(QxStream stream) {
  Stream *s = find(stream);
  return s == nullptr ? HOST_STREAM_NONE : s->kind;
}

int host_stream_is_open(QxStream stream) {
  Stream *s = find(stream);
  return s != nullptr && s->open;
}

long host_stream_put_count(QxStream stream) {
  Stream *s = find(stream);
  return s == nullptr ? 0 : s->put_count;
}

size_t host_stream_pushback_count(QxStream stream) {
  Stream *s = find(stream);
  return s == nullptr ? 0 : s->pushback.size();
}

void host_set_token_error(QxStream stream) {
  if (Stream *s = find(stream)) s->token_error = true;
}

} // extern "C"
