// The run log's lines in the order the run writes them, read back by a
// parser that follows the run's steps. Version texts may hold any byte but
// zero, line feeds included, so where the flash's version text ends is not
// always the next line feed: each possible end is tried, and a decision line
// must agree with the two texts ("(Same Version)" only for equal ones).
#include "run_outcome.h"

#include <cstdlib>
#include <cstring>

namespace {

const char kResetLine[] = "IB_WriteSingleRegister( 0, 0x10028, 0, 32 )";
const char kNormalLine[] = "IB_WriteSingleRegister( 0, 0x10028, 1, 32 )";
const char kCloseFailed[] = "IB_Close() FALSE";
const char kInstallHead[] = "InstallVerStr = ";
const char kDataSizeHead[] = ", DataSize = 0x";
const char kCurrentHead[] = "CurrentVerStr = ";
const char kFileOpenHead[] = "GetFileInf:";
const char kFileOpenTail[] = " File Open Error";
constexpr size_t kInstallVersionMax = 16;  // printed with %.16s
constexpr size_t kFlashVersionMax = 15;    // the 16th byte read is cut
constexpr size_t kShownLineMax = 200;

// The run's steps, in the order of their lines.
enum class Step {
    Id,
    ObjectPath,
    FpgaPath,
    BoardLoad,
    BoardInitialize,
    Reset,
    Window,
    Image,
    FlashVersion,
    Decision,
    Write,
    Normal,
    Close,
    Terminate,
    End,
};

enum class Fit { No, Yes, Cut };  // Cut: the log ends inside what could be this line

// Where one reading stands. Copied at each choice, so that a choice that
// comes to nothing leaves no trace.
struct State {
    size_t pos = 0;
    Step step = Step::Id;
    int image = 0;  // 0 processor, 1 FPGA, 2 both done
    bool boardLoadFailed = false;
    bool boardOpen = false;  // a reset line, so the run had a board handle
    bool finishing = false;  // the normal-operation line or "IB_Close() FALSE" was read
    std::string objectPath;
    std::string fpgaPath;
    RunOutcome outcome;
};

bool StartsWith(const std::string& text, const char* head)
{
    return text.compare(0, strlen(head), head) == 0;
}

// A fragment that "prefix" could still grow into, or that already holds it.
bool Agrees(const std::string& fragment, const char* head)
{
    const size_t length = strlen(head);
    return fragment.size() >= length ? StartsWith(fragment, head)
                                     : strncmp(head, fragment.c_str(), fragment.size()) == 0;
}

// The rest of an "InstallVerStr" line cut short: a version text of at most
// 16 bytes without a zero byte, then a beginning of ", DataSize = 0x" and of
// its eight hexadecimal digits.
bool CutInstallLine(const std::string& rest)
{
    const size_t headLength = strlen(kDataSizeHead);
    for (size_t length = 0; length <= kInstallVersionMax && length <= rest.size(); ++length) {
        if (length > 0 && rest[length - 1] == 0)
            return false;
        const std::string after = rest.substr(length);
        const bool fits =
            after.size() <= headLength
                ? Agrees(after, kDataSizeHead)
                : StartsWith(after, kDataSizeHead) && after.size() - headLength <= 8 &&
                      after.find_first_not_of("0123456789abcdef", headLength) == std::string::npos;
        if (fits)
            return true;
    }
    return false;
}

bool IsCanonicalInteger(const std::string& text, int low, int high, int& value)
{
    const size_t digits = text.size() - (text.rfind('-', 0) == 0 ? 1 : 0);
    if (digits == 0 || digits > 4 || text.find_first_not_of("-0123456789", 0) != std::string::npos ||
        text.find('-', 1) != std::string::npos)
        return false;
    value = atoi(text.c_str());
    return value >= low && value <= high && std::to_string(value) == text;
}

const char* ImageName(int image)
{
    return image == 0 ? "processor" : "FPGA";
}

// What the run was doing when its log, stopped at this step, ends.
std::string StoppedWhile(const State& s)
{
    switch (s.step) {
        case Step::Id:
            return "starting, before its first line";
        case Step::ObjectPath:
        case Step::FpgaPath:
            return "starting";
        case Step::BoardLoad:
        case Step::BoardInitialize:
        case Step::Reset:
            return "loading the libraries and putting the module into reset";
        case Step::Window:
            return "opening the progress window";
        case Step::Image:
        case Step::FlashVersion:
        case Step::Decision:
            return std::string("checking the ") + ImageName(s.image) + " image";
        case Step::Write:
            return std::string("writing the ") + ImageName(s.image) + " image";
        case Step::Normal:
            return "returning the module to normal operation";
        default:
            return "releasing the board library";
    }
}

class Parser {
public:
    explicit Parser(const std::string& text) : text_(text) {}

    // True when the text from s on is the rest of a run log; result holds
    // the first such reading.
    bool Parse(State s, RunOutcome& result);

    size_t furthest = 0;  // the furthest place where no line fitted

private:
    struct Line {
        std::string text;
        size_t next;
        bool complete;  // ends in a line feed
    };
    Line Take(size_t pos) const;

    Fit Literal(const State& s, const char* line, size_t& next) const;
    Fit Field(const State& s, const char* head, std::string& value, size_t& next) const;
    bool Finish(const State& s, RunOutcome& result) const;

    // Each alternative of a step: the state after its line, parsed on.
    bool Then(State s, size_t next, Step step, RunOutcome& result)
    {
        s.pos = next;
        s.step = step;
        return Parse(s, result);
    }
    bool Failure(State s, size_t next, Step step, const char* line, RunOutcome& result)
    {
        s.outcome.failureLines.push_back(line);
        return Then(s, next, step, result);
    }
    bool NextImage(State s, size_t next, ImageState state, RunOutcome& result)
    {
        s.outcome.images[s.image].state = state;
        ++s.image;
        return Then(s, next, Step::Image, result);
    }

    bool ParseImage(const State& s, RunOutcome& result);
    bool ParseInstallVersion(const State& s, RunOutcome& result);
    bool ParseFlashVersion(const State& s, RunOutcome& result);
    bool ParseDecision(const State& s, RunOutcome& result);
    bool ParseWrite(const State& s, RunOutcome& result);
    bool ParseBoard(const State& s, RunOutcome& result);

    const std::string& text_;
};

Parser::Line Parser::Take(size_t pos) const
{
    const size_t end = text_.find('\n', pos);
    if (end == std::string::npos)
        return {text_.substr(pos), text_.size(), false};
    return {text_.substr(pos, end - pos), end + 1, true};
}

Fit Parser::Literal(const State& s, const char* line, size_t& next) const
{
    const Line l = Take(s.pos);
    if (!l.complete) {
        // Cut short: a beginning of the line, at most all of it and the CR
        // of its CR LF; anything longer is not this line.
        const std::string whole = std::string(line) + "\r";
        return l.text.size() <= whole.size() && whole.compare(0, l.text.size(), l.text) == 0 ? Fit::Cut
                                                                                             : Fit::No;
    }
    next = l.next;
    return l.text == line ? Fit::Yes : Fit::No;
}

Fit Parser::Field(const State& s, const char* head, std::string& value, size_t& next) const
{
    const Line l = Take(s.pos);
    if (!l.complete)
        return Agrees(l.text, head) ? Fit::Cut : Fit::No;
    if (!StartsWith(l.text, head))
        return Fit::No;
    value = l.text.substr(strlen(head));
    next = l.next;
    return Fit::Yes;
}

bool Parser::Finish(const State& s, RunOutcome& result) const
{
    result = s.outcome;
    result.isRunLog = true;
    result.finished = s.finishing;
    if (!s.finishing)
        result.stoppedWhile = StoppedWhile(s);
    const ImageOutcome* images = result.images;
    for (int i = 0; i < 2; ++i) {
        if (s.finishing && images[i].state == ImageState::NotChecked && images[1 - i].fileVersionLogged)
            result.imageOrderCertain = false;
    }
    return true;
}

bool Parser::Parse(State s, RunOutcome& result)
{
    // Steps that write no line in this run pass on at once.
    if (s.step == Step::Image && s.image == 2)
        s.step = Step::Normal;
    if (s.step == Step::Normal && !s.boardOpen)
        s.step = Step::Close;
    if (s.pos == text_.size())
        return Finish(s, result);

    size_t next = 0;
    std::string value;
    Fit fit = Fit::No;
    bool parsed = false;
    switch (s.step) {
        case Step::Id:
            fit = Field(s, "(Id:", value, next);
            if (fit == Fit::Yes && value.size() > 1 && value.back() == ')') {
                value.pop_back();
                parsed = IsCanonicalInteger(value, -128, 127, s.outcome.installerId) &&
                         Then(s, next, Step::ObjectPath, result);
            }
            break;
        case Step::ObjectPath:
            fit = Field(s, "pObjFname = ", s.objectPath, next);
            parsed = fit == Fit::Yes && Then(s, next, Step::FpgaPath, result);
            break;
        case Step::FpgaPath:
            fit = Field(s, "pFpgaFname = ", s.fpgaPath, next);
            parsed = fit == Fit::Yes && Then(s, next, Step::BoardLoad, result);
            break;
        case Step::Image:
            return ParseImage(s, result);
        case Step::FlashVersion:
            return ParseFlashVersion(s, result);
        case Step::Decision:
            return ParseDecision(s, result);
        case Step::Write:
            return ParseWrite(s, result);
        default:
            return ParseBoard(s, result);
    }
    if (fit == Fit::Cut)
        return Finish(s, result);
    if (!parsed && s.pos > furthest)
        furthest = s.pos;
    return parsed;
}

// What a board or window line tells of the run.
enum class Effect { None, LoadFailed, Held, ResetFailed, Returned, Finishing };

void Apply(Effect effect, State& s)
{
    s.boardLoadFailed |= effect == Effect::LoadFailed;
    s.boardOpen |= effect == Effect::Held || effect == Effect::ResetFailed;
    s.outcome.heldInReset |= effect == Effect::Held;
    s.outcome.returnedToNormal |= effect == Effect::Returned;
    s.finishing |= effect == Effect::Returned || effect == Effect::Finishing;
}

// The board's lines before and after the images, and the window's.
bool Parser::ParseBoard(const State& s, RunOutcome& result)
{
    struct Alternative {
        Step step;
        bool when;
        const char* line;  // nullptr: no line, the step passes on
        Effect effect;
        Step then;
    };
    const bool open = s.boardOpen;
    const Alternative alternatives[] = {
        {Step::BoardLoad, true, "Load( zefib.dll ) FALSE", Effect::LoadFailed, Step::BoardInitialize},
        {Step::BoardLoad, true, nullptr, Effect::None, Step::BoardInitialize},
        {Step::BoardInitialize, true, "IB_Initialize() FALSE", Effect::None, Step::Window},
        {Step::BoardInitialize, !s.boardLoadFailed, nullptr, Effect::None, Step::Reset},
        {Step::Reset, true, kResetLine, Effect::Held, Step::Window},
        {Step::Reset, true, "IB_WriteSingleRegister(Reset) Error", Effect::ResetFailed, Step::Window},
        {Step::Reset, true, nullptr, Effect::None, Step::Window},
        {Step::Window, true, "CreateDialog Error", Effect::None, Step::Image},
        {Step::Window, true, nullptr, Effect::None, Step::Image},
        {Step::Normal, true, kNormalLine, Effect::Returned, Step::Close},
        {Step::Normal, true, "IB_WriteSingleRegister(Normal) Error", Effect::Finishing, Step::Close},
        // Without a board handle the release logs both lines, always.
        {Step::Close, true, kCloseFailed, Effect::Finishing, Step::Terminate},
        {Step::Close, open, nullptr, Effect::None, Step::Terminate},
        {Step::Terminate, true, "IB_Terminate() FALSE", Effect::None, Step::End},
        {Step::Terminate, open, nullptr, Effect::None, Step::End},
    };
    for (const Alternative& a : alternatives) {
        if (a.step != s.step || !a.when)
            continue;
        size_t next = s.pos;
        if (a.line != nullptr) {
            const Fit fit = Literal(s, a.line, next);
            if (fit == Fit::Cut)
                return Finish(s, result);
            if (fit == Fit::No)
                continue;
        }
        State after = s;
        Apply(a.effect, after);
        const bool failure = a.line != nullptr && a.line != kResetLine && a.line != kNormalLine;
        if (failure ? Failure(after, next, a.then, a.line, result) : Then(after, next, a.then, result))
            return true;
    }
    if (s.pos > furthest)
        furthest = s.pos;
    return false;
}

// One image's first line: its file could not be opened, or its versions
// follow; or nothing, when the image was not checked at all.
bool Parser::ParseImage(const State& s, RunOutcome& result)
{
    size_t next = 0;
    std::string value;
    const Fit fit = Field(s, kFileOpenHead, value, next);
    if (fit == Fit::Cut)
        return Finish(s, result);
    const size_t tail = strlen(kFileOpenTail);
    if (fit == Fit::Yes && value.size() >= tail &&
        value.compare(value.size() - tail, tail, kFileOpenTail) == 0) {
        const std::string path = value.substr(0, value.size() - tail);
        // The path says which image it is: one before it was not checked.
        const int image = path == s.objectPath ? 0 : path == s.fpgaPath ? 1 : -1;
        if (image >= s.image) {
            State named = s;
            named.image = image;
            named.outcome.failureLines.push_back(kFileOpenHead + value);
            if (NextImage(named, next, ImageState::NotWrittenFile, result))
                return true;
        }
    }
    if (ParseInstallVersion(s, result))
        return true;
    State skipped = s;
    ++skipped.image;
    return Then(skipped, s.pos, Step::Image, result);
}

// "InstallVerStr = %.16s, DataSize = 0x%08x": the version text is followed
// by the first ", DataSize = 0x" with eight hexadecimal digits and a line
// feed (those 24 bytes never fit inside 16).
bool Parser::ParseInstallVersion(const State& s, RunOutcome& result)
{
    const size_t start = s.pos + strlen(kInstallHead);
    if (!Agrees(text_.substr(s.pos, strlen(kInstallHead)), kInstallHead))
        return false;
    const size_t headLength = strlen(kDataSizeHead);
    for (size_t length = 0; length <= kInstallVersionMax && start + length <= text_.size(); ++length) {
        const size_t size = start + length + headLength;
        if (length > 0 && text_[start + length - 1] == 0)
            break;
        if (text_.compare(start + length, headLength, kDataSizeHead) != 0 || size + 9 > text_.size())
            continue;
        const std::string digits = text_.substr(size, 8);
        if (digits.find_first_not_of("0123456789abcdef") != std::string::npos || text_[size + 8] != '\n' ||
            strtoul(digits.c_str(), nullptr, 16) == 0)
            continue;
        State checking = s;
        ImageOutcome& image = checking.outcome.images[s.image];
        image.state = ImageState::BeingChecked;
        image.fileVersionLogged = true;
        image.fileVersion = text_.substr(start, length);
        return Then(checking, size + 9, Step::FlashVersion, result);
    }
    // A log that ends inside the line: what is there must be a beginning of it.
    if (start >= text_.size() || CutInstallLine(text_.substr(start))) {
        State checking = s;
        checking.outcome.images[s.image].state = ImageState::BeingChecked;
        checking.step = Step::FlashVersion;
        return Finish(checking, result);
    }
    return false;
}

// "CurrentVerStr = %s": up to 15 bytes, which may hold line feeds; each
// line feed within reach may be the line's end.
bool Parser::ParseFlashVersion(const State& s, RunOutcome& result)
{
    const Line head = Take(s.pos);
    if (!Agrees(head.text, kCurrentHead) || (head.complete && !StartsWith(head.text, kCurrentHead))) {
        if (s.pos > furthest)
            furthest = s.pos;
        return false;
    }
    const size_t start = s.pos + strlen(kCurrentHead);
    for (size_t length = 0; length <= kFlashVersionMax; ++length) {
        if (start + length >= text_.size())
            return Finish(s, result);  // the log ends inside the line
        const char c = text_[start + length];
        if (c == 0)
            break;
        if (c != '\n')
            continue;
        State read = s;
        read.outcome.images[s.image].flashVersion = text_.substr(start, length);
        read.outcome.images[s.image].flashVersionLogged = true;
        if (Then(read, start + length + 1, Step::Decision, result))
            return true;
    }
    if (s.pos > furthest)
        furthest = s.pos;
    return false;
}

bool Parser::ParseDecision(const State& s, RunOutcome& result)
{
    const ImageOutcome& image = s.outcome.images[s.image];
    const bool same = image.fileVersion == image.flashVersion;
    const char* lines[] = {"FL_Read() FALSE", same ? "(Same Version)" : "(Update)"};
    for (const char* line : lines) {
        size_t next = 0;
        const Fit fit = Literal(s, line, next);
        if (fit == Fit::Cut)
            return Finish(s, result);
        if (fit == Fit::No)
            continue;
        if (line == lines[0]) {
            State failed = s;
            failed.outcome.failureLines.push_back(line);
            return NextImage(failed, next, ImageState::FlashReadFailed, result);
        }
        if (same)
            return NextImage(s, next, ImageState::Current, result);
        State writing = s;
        writing.outcome.images[s.image].state = ImageState::BeingWritten;
        return Then(writing, next, Step::Write, result);
    }
    if (s.pos > furthest)
        furthest = s.pos;
    return false;
}

// After "(Update)": a line that says why nothing was written, or none.
bool Parser::ParseWrite(const State& s, RunOutcome& result)
{
    struct Outcome {
        const char* line;
        ImageState state;
    };
    const Outcome outcomes[] = {
        {"Insufficient memory available", ImageState::NotWrittenMemory},
        {"ReadFileWithCheckSum:CheckSum Error", ImageState::NotWrittenChecksum},
        {"FL_Write() FALSE", ImageState::FlashWriteFailed},
    };
    for (const Outcome& o : outcomes) {
        size_t next = 0;
        const Fit fit = Literal(s, o.line, next);
        if (fit == Fit::Cut)
            return Finish(s, result);
        if (fit == Fit::Yes) {
            State failed = s;
            failed.outcome.failureLines.push_back(o.line);
            return NextImage(failed, next, o.state, result);
        }
    }
    return NextImage(s, s.pos, ImageState::Written, result);
}

// CR LF as hexalift writes it, or LF alone, becomes LF.
std::string Lines(const std::string& bytes)
{
    std::string text;
    text.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')
            continue;
        text += bytes[i];
    }
    return text;
}

}  // namespace

bool RunOutcome::Succeeded() const
{
    for (const ImageOutcome& image : images) {
        if (image.state != ImageState::Current && image.state != ImageState::Written)
            return false;
    }
    return isRunLog && heldInReset && returnedToNormal && finished && failureLines.empty();
}

RunOutcome ReadRunOutcome(const std::string& logBytes)
{
    const std::string text = Lines(logBytes);
    Parser parser(text);
    RunOutcome result;
    if (parser.Parse(State(), result))
        return result;
    result = RunOutcome();
    const size_t start = parser.furthest;
    result.badLineNumber = 1;
    for (size_t i = 0; i < start; ++i)
        result.badLineNumber += text[i] == '\n';
    const size_t end = text.find('\n', start);
    result.badLine = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (result.badLine.size() > kShownLineMax)
        result.badLine.resize(kShownLineMax);
    return result;
}

const char* ImageStateName(ImageState state)
{
    switch (state) {
        case ImageState::NotChecked:
            return "not checked";
        case ImageState::Current:
            return "current";
        case ImageState::Written:
            return "written";
        case ImageState::NotWrittenChecksum:
            return "not written: checksum";
        case ImageState::NotWrittenMemory:
            return "not written: memory";
        case ImageState::NotWrittenFile:
            return "not written: file";
        case ImageState::FlashReadFailed:
            return "flash read failed";
        case ImageState::FlashWriteFailed:
            return "flash write failed";
        case ImageState::BeingChecked:
            return "being checked when the log ends";
        default:
            return "being written when the log ends";
    }
}
