// SPDX-License-Identifier: Apache-2.0
// The host's side of every exchange is a fixed series of serial calls: the
// request frame written whole, one byte read for its ACK or NAK, the answer's
// two length bytes read, its payload and checksum read, and one byte written
// to acknowledge it. The trace follows that series and writes one line when
// the exchange ends, however it ends.

#include "app/cli/trace.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "image/image.h"
#include "link/packet.h"

namespace {

const SerialOps* Inner = nullptr;
FILE* Out = nullptr;
unsigned long Lines = 0;
TraceLineWriter Writer = nullptr;
int WriteError = 0;
uint32_t Baud = 0;
std::chrono::steady_clock::time_point Start;

enum class Stage { Idle, AwaitAck, AwaitHeader, AwaitBody, AwaitOurAck };
Stage Now = Stage::Idle;
double RequestMs = 0;
uint32_t RequestBaud = 0;
std::string Request;  // decoded request
uint32_t AnswerLength = 0;
std::string Answer;  // decoded answer

double ElapsedMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Start)
        .count();
}

uint32_t U32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
uint16_t U16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

std::string Hex(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

std::string DataCrc(const uint8_t* data, uint32_t length) {
    uint16_t crc = 0xFFFF;
    Crc16Update(data, length, crc, &crc);
    return "data " + std::to_string(length) + " bytes crc " + Hex(crc, 4);
}

const char* RequestName(uint8_t code) {
    switch (code) {
        case 0x24:
            return "LoadFirstStage";
        case 0:
            return "SetBaud";
        case 2:
            return "WriteAgentBlock";
        case 4:
            return "StartAgent";
        case 6:
            return "EPOpen";
        case 8:
            return "EPWrite";
        case 10:
            return "EPRead";
        case 12:
            return "EraseSectorSet";
        case 14:
            return "EPClose";
        case 16:
            return "GetFlashSize";
        case 18:
            return "GetSectorCount";
        case 20:
            return "SectorSetInfo";
        case 22:
            return "CheckProgrammable";
        case 24:
            return "CheckBlank";
        case 26:
            return "SetProgramBufferSize";
        case 28:
            return "GetAgentVersion";
        case 30:
            return "CalculateFlashCRC16";
        case 32:
            return "EPOpenWithInfo";
        case 34:
            return "Disconnect";
        case 38:
            return "ConfigureAlternate";
        case 40:
            return "ConfigureClock";
        case 42:
            return "QueryChipId";
        case 44:
            return "QueryVariant";
        case 46:
            return "QueryConfigWordA";
        case 48:
            return "QueryConfigWordB";
        default:
            return "unknown";
    }
}

// The request's fields, from the payload (n bytes, code first).
std::string DecodeRequest(const uint8_t* p, uint32_t n) {
    const uint8_t code = p[0];
    std::string text = std::to_string(code) + " " + RequestName(code);
    auto field = [&](const char* name, uint32_t value, int digits) {
        // Appended piece by piece: GCC 12 misreads the temporaries of
        // operator+ here at -O3 (-Wrestrict).
        text.append(" ").append(name).append(" ");
        text.append(digits != 0 ? Hex(value, digits) : std::to_string(value));
    };
    switch (code) {
        case 0x24:
            if (n >= 7) text.append(" ").append(DataCrc(p + 7, n >= 11 ? n - 11 : 0));
            break;
        case 0:
            if (n >= 7) {
                field("baud", U32(p + 1), 0);
                field("divisor", U16(p + 5), 0);
            }
            break;
        case 2:
            if (n >= 5) {
                field("offset", U32(p + 1), 8);
                text.append(" ").append(DataCrc(p + 5, n - 5));
            }
            break;
        case 4:
        case 20:
        case 26:
            if (n >= 5)
                field(code == 4    ? "address"
                      : code == 20 ? "index"
                                   : "length",
                      U32(p + 1), code == 4 ? 8 : 0);
            break;
        case 6:
        case 32:
            if (n >= 17) {
                field("chip-select", U32(p + 1), 0);
                field("base", U32(p + 5), 8);
            }
            break;
        case 8:
        case 22:
            if (n >= 9) {
                field("address", U32(p + 1), 8);
                text.append(" ").append(DataCrc(p + 9, n - 9));
            }
            break;
        case 10:
        case 12:
        case 24:
            if (n >= 9) {
                field(code == 12 ? "start" : "address", U32(p + 1), 8);
                field(code == 12 ? "size" : "length", U32(p + 5), 0);
            }
            break;
        case 30:
            if (n >= 11) {
                field("address", U32(p + 1), 8);
                field("length", U32(p + 5), 0);
                field("initial", U16(p + 9), 4);
            }
            break;
        case 38:
            if (n >= 2) field("value", p[1], 0);
            break;
        case 40:
            if (n >= 4) {
                field("divisor", U16(p + 1), 4);
                text += " clock words";
                for (uint32_t i = 4; i < n; ++i) text.append(" ").append(Hex(p[i], 2).substr(2));
            }
            break;
        default:
            break;
    }
    return text;
}

// The answer's code, status and telling fields.
std::string DecodeAnswer(const uint8_t* p, uint32_t n) {
    if (n == 0) return "empty answer";
    const uint8_t code = p[0];
    std::string text = "answer " + std::to_string(code);
    if (code == 0x25 && n >= 2) return text + " checksum " + Hex(p[1], 2);
    if (code == 43 && n >= 2) return text + " chip id " + std::to_string(p[1]);
    if (code == 45 && n >= 2) return text + " variant " + Hex(p[1], 2);
    if ((code == 47 || code == 49) && n >= 3) return text + " word " + Hex(U16(p + 1), 4);
    const bool agent = code >= 7 && code <= 33 && (code & 1) != 0;
    if (!agent || n < 5) return text;
    text += " status " + std::to_string(U32(p + 1));
    const uint8_t* f = p + 5;
    const uint32_t rest = n - 5;
    if (code == 11) text.append(" ").append(DataCrc(f, rest));
    if (code == 31 && rest >= 2) text += " crc " + Hex(U16(f), 4);
    if (code == 21 && rest >= 8) text += " start " + Hex(U32(f), 8) + " size " + Hex(U32(f + 4), 0);
    if ((code == 17 || code == 19) && rest >= 4) text += " value " + std::to_string(U32(f));
    if ((code == 7 || code == 33) && rest >= 4)
        text += " bus-width-units " + std::to_string(U32(f));
    if (code == 7 && rest > 8) {
        // The part and maker names follow, each up to its NUL.
        const char* names = reinterpret_cast<const char*>(f + 8);
        const size_t room = rest - 8;
        const size_t part = strnlen(names, room);
        text += " part \"" + std::string(names, part) + "\"";
        if (part < room) {
            text += " maker \"" +
                    std::string(names + part + 1, strnlen(names + part + 1, room - part - 1)) +
                    "\"";
        }
    }
    return text;
}

void Emit(const std::string& outcome) {
    char head[48];
    std::snprintf(head, sizeof head, "%10.1f ms %6u bd  ", RequestMs, RequestBaud);
    std::string line = head;
    line += Request;
    line += " -> ";
    line += outcome;
    line += "\n";
    if (Writer != nullptr) {
        Writer(Out, line.c_str());
    } else if (std::fputs(line.c_str(), Out) == EOF && WriteError == 0) {
        WriteError = errno;  // the first, before later calls change errno
    }
    ++Lines;
    Now = Stage::Idle;
}

int Open(const char* name, uint32_t baud) {
    Baud = baud;
    Now = Stage::Idle;
    return Inner->open(name, baud);
}

int SetBaud(uint32_t baud) {
    Baud = baud;
    return Inner->setBaud(baud);
}

int Write(const uint8_t* buffer, uint32_t length, uint32_t* count) {
    const int ok = Inner->write(buffer, length, count);
    if (Now == Stage::AwaitOurAck && length == 1) {
        Emit(buffer[0] == ACK ? Answer : Answer + ", bad checksum (NAK sent)");
    } else if (length >= 3) {
        if (Now != Stage::Idle) Emit("left unfinished");
        RequestMs = ElapsedMs();
        RequestBaud = Baud;
        Request = DecodeRequest(buffer + 2, length - 3);
        Now = Stage::AwaitAck;
        if (ok == 0 || *count != length) Emit("write failed");
    }
    return ok;
}

int Read(uint8_t* buffer, uint32_t length, uint32_t* count) {
    const int ok = Inner->read(buffer, length, count);
    const uint32_t got = ok != 0 ? *count : 0;
    switch (Now) {
        case Stage::AwaitAck:
            if (got == 0) {
                Emit("time-out waiting for ACK");
            } else if (buffer[0] == NAK) {
                Emit("NAK");
            } else if (buffer[0] != ACK) {
                Emit("neither ACK nor NAK: " + Hex(buffer[0], 2));
            } else {
                Now = Stage::AwaitHeader;
            }
            break;
        case Stage::AwaitHeader:
            if (got < length) {
                Emit(got == 0 ? "ACK, time-out: no answer" : "ACK, short frame: length cut off");
            } else {
                AnswerLength = uint32_t{buffer[0]} << 8 | buffer[1];
                Now = Stage::AwaitBody;
                if (AnswerLength > PACKET_MAX_RESPONSE) {
                    Emit("ACK, answer length " + std::to_string(AnswerLength) +
                         " too long for the buffer");
                }
            }
            break;
        case Stage::AwaitBody:
            if (got < length) {
                Emit("ACK, short frame: " + std::to_string(got) + " of " + std::to_string(length) +
                     " bytes (time-out)");
            } else {
                Answer = "ACK, " + DecodeAnswer(buffer, AnswerLength);
                Now = Stage::AwaitOurAck;
            }
            break;
        default:
            break;
    }
    return ok;
}

void Close() {
    if (Now != Stage::Idle) Emit("left unfinished");
    std::fflush(Out);
    Inner->close();
}

// A line of its own, outside any exchange.
void Note(const std::string& text) {
    char head[48];
    std::snprintf(head, sizeof head, "%10.1f ms %6u bd  ", ElapsedMs(), Baud);
    const std::string line = head + text + "\n";
    if (Writer != nullptr) {
        Writer(Out, line.c_str());
    } else if (std::fputs(line.c_str(), Out) == EOF && WriteError == 0) {
        WriteError = errno;
    }
    ++Lines;
}

int SetLines(uint32_t which, uint32_t asserted) {
    const int ok = Inner->setLines != nullptr ? Inner->setLines(which, asserted) : 0;
    std::string text = "lines";
    if ((which & SERIAL_LINE_DTR) != 0)
        text += (asserted & SERIAL_LINE_DTR) != 0 ? " dtr" : " -dtr";
    if ((which & SERIAL_LINE_RTS) != 0)
        text += (asserted & SERIAL_LINE_RTS) != 0 ? " rts" : " -rts";
    Note(text + (ok != 0 ? "" : " -> refused by the port"));
    return ok;
}

const SerialOps Table{Open, SetBaud, Read, Write, Close, SetLines};

}  // namespace

const SerialOps& TraceSerialOps(const SerialOps& inner, FILE* out) {
    Inner = &inner;
    Out = out;
    Lines = 0;
    WriteError = 0;
    Now = Stage::Idle;
    Start = std::chrono::steady_clock::now();
    return Table;
}

void TraceRetry(uint8_t code, uint32_t attempt, const char* cause) {
    if (Out == nullptr) return;
    Note(std::string("retry ") + std::to_string(attempt) + " of " + RequestName(code) + " after " +
         cause);
}

int TraceWriteError() {
    if (WriteError == 0 && Out != nullptr && std::fflush(Out) != 0) WriteError = errno;
    return WriteError;
}

void TraceSetLineWriter(TraceLineWriter writer) {
    Writer = writer;
}

unsigned long TraceLines() {
    return Lines;
}
