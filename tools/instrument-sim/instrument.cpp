#include "instrument.h"

#include <QList>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include <unistd.h>

namespace sim {

namespace {

// Bounds that keep a peer which never reads, or never ends a line, from growing us forever.
constexpr qsizetype kMaxPending = 64 * 1024;

// A protocol number: decimal digits, no sign, no leading zero.
std::optional<int> Number(const QByteArray& word, int max) {
    if (word.isEmpty() || word.size() > 6 || (word.size() > 1 && word[0] == '0')) return {};
    int value = 0;
    for (char c : word) {
        if (c < '0' || c > '9') return {};
        value = value * 10 + (c - '0');
    }
    if (value > max) return {};
    return value;
}

} // namespace

void PrintLine(const QByteArray& line) {
    std::fwrite(line.constData(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

Instrument::Instrument(const Options& options, int masterFd, QObject* parent)
    : QObject(parent), options_(options), fd_(masterFd),
      readNotifier_(masterFd, QSocketNotifier::Read),
      writeNotifier_(masterFd, QSocketNotifier::Write), pos_(options.startPos) {
    writeNotifier_.setEnabled(false);
    connect(&readNotifier_, &QSocketNotifier::activated, this, &Instrument::OnReadable);
    connect(&writeNotifier_, &QSocketNotifier::activated, this, &Instrument::OnWritable);
    replyTimer_.setSingleShot(true);
    replyTimer_.setTimerType(Qt::PreciseTimer);
    connect(&replyTimer_, &QTimer::timeout, this, &Instrument::FinishCommand);
    if (!options_.chatter.isEmpty()) {
        connect(&chatterTimer_, &QTimer::timeout, this, &Instrument::SendChatter);
        chatterTimer_.start(options_.chatterMs);
    }
}

void Instrument::Stop() {
    readNotifier_.setEnabled(false);
    writeNotifier_.setEnabled(false);
    replyTimer_.stop();
    chatterTimer_.stop();
}

void Instrument::OnReadable() {
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n > 0) {
            rx_.append(chunk, n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) break;
        // End of file or an error: the master would report it again at once, so stop
        // watching rather than spin.
        PrintLine("# line read failed; no longer reading");
        readNotifier_.setEnabled(false);
        break;
    }
    // A controller must wait for each answer before its next command; one that does not is
    // caught here (the command itself is answered in its turn).
    if (busy_ && rx_.contains('\r'))
        PrintLine("# overlap: a command arrived while the answer to \"" + Escape(currentLine_) +
                  "\" was due");
    if (rx_.size() > kMaxPending) {
        PrintLine("# " + QByteArray::number(rx_.size()) + " bytes without CR dropped");
        rx_.clear();
    }
    HandlePending();
}

void Instrument::HandlePending() {
    while (!busy_) {
        const qsizetype cr = rx_.indexOf('\r');
        if (cr < 0) return;
        QByteArray line = rx_.left(cr);
        rx_.remove(0, cr + 1);
        line.replace("\n", ""); // commands end with CR alone; a stray LF is not part of one
        if (line.isEmpty()) {
            PrintLine("# empty line ignored");
            continue;
        }
        ++received_;
        if (options_.reportReceived) {
            // Monotonic milliseconds, so that a reader can time the commands as they arrive.
            const double ms = std::chrono::duration<double, std::milli>(
                                  std::chrono::steady_clock::now().time_since_epoch())
                                  .count();
            PrintLine("received \"" + Escape(line) + "\" at " + QByteArray::number(ms, 'f', 3));
        }
        const QByteArray shown = "exchange \"" + Escape(line) + "\" -> ";
        if (options_.hangupAfter >= 0 && answered_ >= options_.hangupAfter) {
            PrintLine(shown + "(hangup)");
            Stop();
            emit hangupRequested();
            return;
        }
        if (options_.silent || (options_.silentAfter >= 0 && received_ > options_.silentAfter)) {
            PrintLine(shown + "(silent)");
            continue;
        }
        currentLine_ = line;
        current_ = Execute(line);
        busy_ = true;
        replyTimer_.start(current_.waitMs + options_.delayMs);
    }
}

Instrument::Reply Instrument::Execute(const QByteArray& line) {
    Reply r;
    r.answer = "ERR";
    const QList<QByteArray> w = line.split(' ');
    const QByteArray& verb = w[0];

    if (line == "?") {
        r.answer = options_.id;
    } else if (verb == "HOME" && w.size() == 2 && w[1] == "3") {
        r.answer = options_.homeAnswer.value_or("G");
        r.waitMs = options_.homeMs;
        r.positions = std::array<int, 3>{0, 0, 0};
    } else if (verb == "POS" && w.size() == 2 && w[1] == "3") {
        r.answer = options_.posAnswer.value_or("POS 3 " + QByteArray::number(pos_[0]) + ' ' +
                                               QByteArray::number(pos_[1]) + ' ' +
                                               QByteArray::number(pos_[2]));
    } else if (verb == "GO" && w.size() == 5 && w[1] == "3") {
        if (++goCount_ == options_.goFail) return r;
        std::array<int, 3> target{};
        for (int a = 0; a < 3; ++a) {
            const auto p = Number(w[2 + a], 6000);
            if (!p) return r;
            target[a] = *p;
        }
        // The axes run at the same time; the answer waits for the one with the longest way.
        int longest = 0;
        for (int a = 0; a < 3; ++a)
            longest = std::max(longest, std::abs(target[a] - pos_[a]));
        r.waitMs = options_.goMs >= 0
                       ? options_.goMs
                       : int((qint64(longest) * 1000 + options_.speed - 1) / options_.speed);
        r.positions = target;
        r.answer = options_.goAnswer.value_or("GO 3 " + QByteArray::number(target[0]) + ' ' +
                                              QByteArray::number(target[1]) + ' ' +
                                              QByteArray::number(target[2]));
    } else if (verb == "INFO" && w.size() == 2) {
        if (const auto n = Number(w[1], 4))
            r.answer = options_.infoAnswer[*n].value_or("INFO " + w[1] + ' ' + options_.info[*n]);
    } else if (verb == "BKEN" && w.size() == 2 && (w[1] == "0" || w[1] == "1")) {
        const bool on = (w[1] == "1") != options_.bkenInvert;
        r.answer = on ? "BKEN 1" : "BKEN 0";
    }
    return r;
}

void Instrument::FinishCommand() {
    if (current_.positions) pos_ = *current_.positions;
    QByteArray bytes = options_.noise;
    if (options_.loneCr) bytes += '\r';
    bytes += current_.answer;
    bytes += options_.crlf ? "\r\n" : "\r";
    Write(bytes);
    ++answered_;
    PrintLine("exchange \"" + Escape(currentLine_) + "\" -> \"" + Escape(bytes) + '"');
    busy_ = false;
    HandlePending();
}

void Instrument::SendChatter() {
    // Only between exchanges, and not onto a line that is already backed up.
    if (busy_ || !out_.isEmpty() || !readNotifier_.isEnabled()) return;
    Write(options_.chatter);
    PrintLine("# chatter \"" + Escape(options_.chatter) + '"');
}

void Instrument::Write(const QByteArray& bytes) {
    // A line that is not read keeps what is pending bounded; one write of its own, however
    // large, is sent whole.
    if (!out_.isEmpty() && out_.size() + bytes.size() > kMaxPending) {
        PrintLine("# line not read; " + QByteArray::number(bytes.size()) + " bytes dropped");
        return;
    }
    out_ += bytes;
    Flush();
}

void Instrument::OnWritable() {
    Flush();
}

void Instrument::Flush() {
    while (!out_.isEmpty()) {
        const ssize_t n = ::write(fd_, out_.constData(), out_.size());
        if (n > 0) {
            out_.remove(0, n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            break; // the slave's input queue is full; go on when it drains
        } else {
            PrintLine("# line write failed; " + QByteArray::number(out_.size()) + " bytes lost");
            out_.clear();
        }
    }
    writeNotifier_.setEnabled(!out_.isEmpty());
}

} // namespace sim
