#include "output.h"

#include <unistd.h>

#include <cerrno>
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

int exit_status(uint32_t code)
{
    switch (code) {
    case 0: return kExitDone;
    case PROP_E_STALE:
    case PROP_E_NOCONF: return kExitNotFound;
    case PROP_E_PERM: return kExitDenied;
    case PROP_E_ARG:
    case PROP_E_STYPE: return kExitUsage;
    case PROP_E_FORMAT:
    case PROP_E_BADHDR:
    case PROP_E_CORRUPT:
    case PROP_E_OWNERID: return kExitCorrupt;
    case PROP_E_STORAGE:
    case PROP_E_DEVDIFF:
    case PROP_E_VLDCREATE:
    case PROP_E_MINORITY: return kExitUnavailable;
    default: return kExitFailed;
    }
}

int exit_status_of_errno(int err)
{
    switch (err) {
    case ENOENT:
    case ENOTDIR: return kExitNotFound;
    case EACCES:
    case EPERM: return kExitDenied;
    case EIO:
    case EROFS:
    case ENXIO:
    case ENODEV: return kExitUnavailable;
    default: return kExitFailed;
    }
}

int Output::report(const std::string &text, uint32_t code, int exit) const
{
    clear_progress();
    std::fflush(stdout);
    std::fprintf(stderr, "propctl: %s\n", text.c_str());
    if (json_) {
        Json j;
        j.begin_object().key("ok").boolean(false).key("code").num(code).key("exit").num(static_cast<uint64_t>(exit));
        document(j.key("error").str(text).end_object());
    }
    return exit;
}

int Output::fail(const std::string &what, uint32_t code) const
{
    return fail(what, code, explainer_ ? explainer_(code) : Cause{});
}

int Output::fail(const std::string &what, uint32_t code, const Cause &cause) const
{
    std::string text = what;
    if (!cause.reason.empty()) text += ": " + cause.reason;
    text += ": error " + std::to_string(code) + ": " + prop_fe_msgtext(nullptr, code);
    return report(text, code, cause.exit >= 0 ? cause.exit : exit_status(code));
}

int Output::problem(const std::string &what, int exit) const
{
    return report(what, 0, exit);
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
