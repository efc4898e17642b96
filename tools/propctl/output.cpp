#include "output.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "propreg/frontend.h"

namespace propctl {

std::string json_quote(const std::string &s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

void Json::separate()
{
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (!first_.empty()) {
        if (!first_.back()) out_ += ',';
        first_.back() = false;
    }
}

Json &Json::begin_object()
{
    separate();
    out_ += '{';
    first_.push_back(true);
    return *this;
}

Json &Json::end_object()
{
    out_ += '}';
    first_.pop_back();
    return *this;
}

Json &Json::begin_array()
{
    separate();
    out_ += '[';
    first_.push_back(true);
    return *this;
}

Json &Json::end_array()
{
    out_ += ']';
    first_.pop_back();
    return *this;
}

Json &Json::key(const std::string &k)
{
    separate();
    out_ += json_quote(k) + ':';
    after_key_ = true;
    return *this;
}

Json &Json::str(const std::string &s)
{
    separate();
    out_ += json_quote(s);
    return *this;
}

Json &Json::num(uint64_t n)
{
    separate();
    out_ += std::to_string(n);
    return *this;
}

Json &Json::tenths(double v)
{
    separate();
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", v);
    out_ += buf;
    return *this;
}

Json &Json::boolean(bool b)
{
    separate();
    out_ += b ? "true" : "false";
    return *this;
}

Json &Json::null()
{
    separate();
    out_ += "null";
    return *this;
}

void Output::line(const std::string &text) const
{
    if (json_) return;
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

void Output::document(const Json &doc) const
{
    if (!json_) return;
    std::fwrite(doc.text().data(), 1, doc.text().size(), stdout);
    std::fputc('\n', stdout);
}

namespace {

// The progress line on the terminal, if one is drawn: every message to
// stderr takes it away first, so the two never share a line.
Progress *g_drawn = nullptr;

void clear_progress()
{
    if (g_drawn != nullptr) g_drawn->done();
}

}  // namespace

int Output::fail(const std::string &what, uint32_t code) const
{
    clear_progress();
    std::fflush(stdout);
    std::fprintf(stderr, "propctl: %s: error %u: %s\n", what.c_str(), code, prop_fe_msgtext(nullptr, code));
    return 1;
}

int Output::problem(const std::string &what) const
{
    clear_progress();
    std::fflush(stdout);
    std::fprintf(stderr, "propctl: %s\n", what.c_str());
    return 1;
}

void Output::note(const std::string &text) const
{
    clear_progress();
    std::fprintf(stderr, "propctl: %s\n", text.c_str());
}

namespace {

int64_t now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

Progress::Progress(std::string label) : label_(std::move(label)), enabled_(isatty(STDERR_FILENO) != 0) {}

Progress::~Progress()
{
    done();
}

void Progress::done()
{
    if (drawn_) std::fputs("\r\033[K", stderr);
    drawn_ = false;
    if (g_drawn == this) g_drawn = nullptr;
}

void Progress::draw(const std::string &text)
{
    if (g_drawn != nullptr && g_drawn != this) g_drawn->done();
    std::fprintf(stderr, "\r\033[K%s: %s", label_.c_str(), text.c_str());
    std::fflush(stderr);
    drawn_ = true;
    g_drawn = this;
}

void Progress::step(uint64_t done, uint64_t total)
{
    if (!enabled_) return;
    // Redrawing every step would cost more than the work on small trees.
    int64_t t = now_ms();
    if (t - last_ms_ < 100 && !(total != 0 && done == total)) return;
    last_ms_ = t;
    draw(total != 0 ? std::to_string(done) + "/" + std::to_string(total) : std::to_string(done));
}

void Progress::message(const std::string &text)
{
    if (enabled_) draw(text);
}

}  // namespace propctl
