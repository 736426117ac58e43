#include "update/image_update.h"

#include <cstring>

#include "device/hal_requests.h"
#include "flash/flash_access.h"
#include "flash/flash_layout.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/mmio.h"
#include "platform/sync.h"
#include "platform/text.h"
#include "platform/ui.h"
#include "resources/resources.h"
#include "update/globals.h"
#include "update/restart.h"

uint32_t AddressOffset = 0;
uint32_t BlockTable[BLOCK_TABLE_ENTRIES];

namespace {

// Where an operating-system image goes when the HAL does not say.
constexpr uint32_t kDefaultImageOffset = 0x80000;
// Second 16-bit device on a 16-bit bus.
constexpr uint32_t kSecondDeviceOffset = 0x1000000;

constexpr int kTextChars = 256;
constexpr wchar_t kOpenFailedFormat[] = L"Cannot Open Image File %ls";
// Sized for the longest path, so that the message never gets cut.
constexpr size_t kOpenFailedChars = sizeof(kOpenFailedFormat) / sizeof(wchar_t) + IMAGE_PATH_CHARS;

const wchar_t kError[] = L"ERROR";
const wchar_t kUnexpectedEnd[] = L"Unexpected end of file!";
const wchar_t kWriteFailed[] = L"Error writing to Flash!";
const wchar_t kBadChecksum[] =
    L"BAD CRC, Image File seems to be corrupt. Don't reboot Now! Try updating with another file";
const wchar_t kAborted[] =
    L"Update aborted! The image in Flash is incomplete. Don't reboot Now! Run the update again.";
const wchar_t kFileChanged[] =
    L"The image file changed during the update! The image in Flash is incomplete. Don't reboot Now! Update "
    L"again with a good file";

const wchar_t kOverlappingRecords[] =
    L"Records of the Image File overlap, it seems to be corrupt. Try updating with another file";

// The records start right after the file header.
constexpr uint32_t kFirstRecordOffset = IMAGE_SIGNATURE_BYTES + 8;
// A record header: address, length and checksum.
constexpr uint32_t kRecordHeaderBytes = 12;
// The data buffer: a chunk, and room past it for the next record's header
// read ahead with the chunk's data (which is also room for the ones that
// pad a partly filled last bus word).
constexpr uint32_t kDataBufferBytes = IMAGE_CHUNK_BYTES + kRecordHeaderBytes;
// The check of the file shows its progress only once it has run this long:
// a file on fast storage is checked before anyone could read the texts.
constexpr uint32_t kCheckShownAfterMs = 500;

// The chunk as the flash holds it after programming, read back for the
// comparison (a global like the worker's other tables: one update at a
// time, and no second 16 KB on the worker's stack).
alignas(4) uint8_t ReadBackBuffer[IMAGE_CHUNK_BYTES + 4];

// The records a pass over the file met, in order: their count, their data
// bytes and a digest of their headers. The programming pass must meet the
// very records that the check pass checked; a file rewritten in between
// (a copy over it while the warning is up) would otherwise end the image
// early, after the erase, and look complete.
struct RecordTrail {
    uint32_t records = 0;
    uint64_t dataBytes = 0;
    uint64_t digest = 0xcbf29ce484222325ull;   // FNV-1a over the header words

    void Note(const ImageRecordHeader& record)
    {
        for (uint32_t word : {record.address, record.length, record.checksum})
            for (int i = 0; i < 4; ++i)
                digest = (digest ^ ((word >> (8 * i)) & 0xFF)) * 0x100000001b3ull;
        ++records;
        dataBytes += record.length;
    }
    bool operator==(const RecordTrail& other) const
    {
        return records == other.records && dataBytes == other.dataBytes && digest == other.digest;
    }
};

// The flash spans the check pass has met so far: sorted, disjoint, with
// spans that touch joined, so that the records of an ordinary image (one
// after the other) keep it at a few entries. A record that overlaps an
// earlier one would be programmed over it after the erase and fail its
// read-back, blaming the flash for a bad file; it is refused while the old
// image is whole. A file of more scattered spans than the table holds is
// checked no further (its read-back still finds a clash).
constexpr uint32_t kCoveredSpans = 4096;
uint32_t CoveredStart[kCoveredSpans];
uint32_t CoveredEnd[kCoveredSpans];
uint32_t CoveredCount = 0;
bool CoveredFull = false;

void ForgetCoveredSpans()
{
    CoveredCount = 0;
    CoveredFull = false;
}

// Notes the flash span [start, end); 0 when it overlaps a span noted before.
int NoteCoveredSpan(uint32_t start, uint32_t end)
{
    if (CoveredFull || start == end)
        return 1;
    // The first span that starts after start.
    uint32_t lo = 0, hi = CoveredCount;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (CoveredStart[mid] <= start)
            lo = mid + 1;
        else
            hi = mid;
    }
    const uint32_t at = lo;
    if ((at > 0 && CoveredEnd[at - 1] > start) || (at < CoveredCount && CoveredStart[at] < end))
        return 0;
    const bool joinsBefore = at > 0 && CoveredEnd[at - 1] == start;
    const bool joinsAfter = at < CoveredCount && CoveredStart[at] == end;
    if (joinsBefore && joinsAfter) {
        CoveredEnd[at - 1] = CoveredEnd[at];
        std::memmove(CoveredStart + at, CoveredStart + at + 1, (CoveredCount - at - 1) * sizeof(uint32_t));
        std::memmove(CoveredEnd + at, CoveredEnd + at + 1, (CoveredCount - at - 1) * sizeof(uint32_t));
        --CoveredCount;
    } else if (joinsBefore) {
        CoveredEnd[at - 1] = end;
    } else if (joinsAfter) {
        CoveredStart[at] = start;
    } else if (CoveredCount == kCoveredSpans) {
        CoveredFull = true;
    } else {
        std::memmove(CoveredStart + at + 1, CoveredStart + at, (CoveredCount - at) * sizeof(uint32_t));
        std::memmove(CoveredEnd + at + 1, CoveredEnd + at, (CoveredCount - at) * sizeof(uint32_t));
        CoveredStart[at] = start;
        CoveredEnd[at] = end;
        ++CoveredCount;
    }
    return 1;
}

// One run of the worker: what closing must release or hand back.
struct UpdateRun {
    Window dialog = nullptr;
    Handle lock = nullptr;
    uint8_t* window = nullptr;
    Handle file = OS_INVALID_HANDLE;
    uint8_t savedConfig[8] = {};
    uint32_t savedConfigBytes = 0;
    uint32_t flashStart = 0;
    uint32_t flashEnd = 0;
    uint32_t completed = 0;
    Window sectionBar = nullptr;
    Window imageBar = nullptr;
    wchar_t text[kTextChars] = {};
    // The next record's header as far as it was read ahead with the data
    // before it (headBytes of kRecordHeaderBytes).
    uint8_t head[kRecordHeaderBytes] = {};
    uint32_t headBytes = 0;
    // The check pass (0) and the programming pass (1) over the records.
    int pass = 0;
    RecordTrail trail[2];
};

void Report(UpdateRun& run, const wchar_t* text, const wchar_t* caption = kError)
{
    OsMessageBox(run.dialog, text, caption, OS_MB_OK);
}

// Bar range in KB, at least 1.
void SetBarRange(Window bar, uint32_t bytes)
{
    uint32_t kb = bytes >> 10;
    if (kb < 1)
        kb = 1;
    OsSendMessage(bar, OS_PBM_SETRANGE32, 0, static_cast<intptr_t>(kb));
}

void SetBarPos(Window bar, uint64_t bytes)
{
    OsSendMessage(bar, OS_PBM_SETPOS, static_cast<uintptr_t>(bytes >> 10), 0);
}

// Reads exactly n bytes; 0 when fewer arrived.
int ReadExact(Handle file, void* buffer, uint32_t n)
{
    uint32_t got = 0;
    if (!OsReadFile(file, buffer, n, &got))
        return 0;
    return got == n ? 1 : 0;
}

// A little-endian word.
uint32_t LoadWord(const uint8_t* b)
{
    return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) | (static_cast<uint32_t>(b[2]) << 16) |
           (static_cast<uint32_t>(b[3]) << 24);
}

// Keeps the bytes read past what was asked for as the start of the next
// record's header.
void KeepHead(UpdateRun& run, const uint8_t* ahead, uint32_t n)
{
    run.headBytes = n < kRecordHeaderBytes ? n : kRecordHeaderBytes;
    std::memcpy(run.head, ahead, run.headBytes);
}

// Checks the signature and reads the image start and length, and with
// them the first record's header as far as the file holds it. 1 = go on;
// 0 = the run ended (message shown).
int ReadFileHeader(UpdateRun& run, ImageFileHeader* header)
{
    uint8_t b[kFirstRecordOffset + kRecordHeaderBytes];
    uint32_t got = 0;
    if (!OsReadFile(run.file, b, sizeof(b), &got) || got < IMAGE_SIGNATURE_BYTES ||
        std::memcmp(b, IMAGE_SIGNATURE, IMAGE_SIGNATURE_BYTES) != 0) {
        Report(run, L"Not a WinCE Binary Image file!", L"ERRER");
        return 0;
    }
    std::memcpy(header->signature, b, IMAGE_SIGNATURE_BYTES);
    if (got < kFirstRecordOffset) {
        Report(run, kUnexpectedEnd);
        return 0;
    }
    header->imageStart = LoadWord(b + IMAGE_SIGNATURE_BYTES);
    header->imageLength = LoadWord(b + IMAGE_SIGNATURE_BYTES + 4);
    KeepHead(run, b + kFirstRecordOffset, got - kFirstRecordOffset);
    return 1;
}

// Places the image in flash and refuses one that cannot be written safely:
// a range outside the flash, or a start inside a block (the block's head
// would never be erased). 1 = go on.
int PlaceImage(UpdateRun& run, const ImageFileHeader& header)
{
    AddressOffset = RelocationOffset(header.imageStart);
    run.flashStart = header.imageStart + AddressOffset;
    run.flashEnd = run.flashStart + header.imageLength;
    if (static_cast<uint64_t>(run.flashStart) + header.imageLength > FLASH_WINDOW_FULL) {
        Report(run, L"Image does not fit in Flash!");
        return 0;
    }
    if (run.flashStart % FlashBlockSize() != 0) {
        Report(run, L"Image does not start on a Flash block boundary!");
        return 0;
    }
    return 1;
}

// Erases every block whose first byte lies in the image's range, each read
// back as blank (EraseBlock). Not interrupted by Abort: a half-erased range
// helps nobody. 1 = go on.
int EraseImageRange(UpdateRun& run, uint32_t imageLength)
{
    const uint32_t blockSize = FlashBlockSize();
    for (int i = 0; i < BLOCK_TABLE_ENTRIES; ++i)
        BlockTable[i] = static_cast<uint32_t>(i) * blockSize;

    SetBarRange(run.sectionBar, imageLength);
    SetBarPos(run.sectionBar, 0);
    uint64_t erased = 0;
    for (int i = 0; i < BLOCK_TABLE_ENTRIES; ++i) {
        uint32_t block = BlockTable[i];
        if (!(run.flashStart <= block && block < run.flashEnd))
            continue;
        if (static_cast<uint64_t>(block) + blockSize > FLASH_WINDOW_FULL)
            break;   // never reached: the image was checked to lie in the flash
        OsFormat(run.text, kTextChars, L"Erasing Flash Sector at %.8x", block);
        OsSetDlgItemText(run.dialog, IDC_STEP_TEXT, run.text);
        if (!EraseBlock(run.window + block)) {
            Report(run, L"Error Erasing Flash Sector");
            return 0;
        }
        erased += blockSize;
        SetBarPos(run.sectionBar, erased);
    }
    return 1;
}

// Why a record's flash span may not be programmed: outside the image's
// range (and so outside the window) or off a bus word. nullptr = it may.
const wchar_t* SpanFault(const UpdateRun& run, uint32_t offset, uint32_t length)
{
    if (length == 0)
        return nullptr;   // nothing to program
    uint64_t end = static_cast<uint64_t>(offset) + length;
    uint64_t wordEnd = (end + (BusWidth - 1)) & ~static_cast<uint64_t>(BusWidth - 1);
    if (offset < run.flashStart || end > run.flashEnd || wordEnd > FLASH_WINDOW_FULL)
        return L"Record outside the image!";
    if (offset % BusWidth != 0)
        return L"Record not aligned to the Flash bus width!";
    return nullptr;
}

// A record header met by the current pass: noted in its trail, its span
// checked (SpanFault), and in the check pass its overlap with the records
// before it. The programming pass meets only records the check pass found
// sound, unless the file was rewritten since: it then says so, since the
// erase has begun. 1 = go on.
int CheckRecord(UpdateRun& run, uint32_t offset, const ImageRecordHeader& record)
{
    run.trail[run.pass].Note(record);
    const wchar_t* fault = SpanFault(run, offset, record.length);
    if (fault == nullptr && run.pass == 0 && !NoteCoveredSpan(offset, offset + record.length))
        fault = kOverlappingRecords;   // the span lies inside the window
    if (fault == nullptr)
        return 1;
    Report(run, run.pass == 0 ? fault : kFileChanged);
    return 0;
}

// Programs one chunk at a flash offset. On a 16-bit bus a chunk that runs
// from the first device into the second goes as two program calls, so that
// the second device, too, has error bits of an earlier failure cleared
// before it is programmed. 1 = done.
int ProgramChunk(UpdateRun& run, const uint8_t* data, uint32_t offset, uint32_t chunk)
{
    uint32_t first = chunk;
    if (BusWidth == 2 && offset < kSecondDeviceOffset && chunk > kSecondDeviceOffset - offset)
        first = kSecondDeviceOffset - offset;
    if (!ProgramFlash(data, run.window + offset, first))
        return 0;
    if (first == chunk)
        return 1;
    return ProgramFlash(data + first, run.window + kSecondDeviceOffset, chunk - first);
}

// Reads a programmed chunk back and compares it with the data buffer, the
// ones that pad a partly filled last bus word included: a device may report
// success for cells that did not take their bits. 1 = the flash holds the
// data.
int ChunkReadsBack(UpdateRun& run, const uint8_t* data, uint32_t offset, uint32_t chunk)
{
    const uint32_t bytes = (chunk + (BusWidth - 1)) & ~(BusWidth - 1);
    ResetToReadArray(run.window + offset);
    if (BusWidth == 2 && offset < kSecondDeviceOffset && offset + bytes > kSecondDeviceOffset)
        ResetToReadArray(run.window + kSecondDeviceOffset);
    uint32_t at = 0;
    if (offset % 4 != 0) {
        // A 16-bit bus word first, so that the bulk read starts on 4 bytes.
        uint16_t half = OsRead16(run.window + offset);
        std::memcpy(ReadBackBuffer, &half, 2);
        at = 2;
    }
    if (bytes > at)
        OsReadBulk(ReadBackBuffer + at, run.window + offset + at, bytes - at);
    return std::memcmp(ReadBackBuffer, data, bytes) == 0 ? 1 : 0;
}

// One record header, the part read ahead first; 0 when the file ends
// inside it.
int ReadRecordHeader(UpdateRun& run, ImageRecordHeader* record)
{
    if (run.headBytes < kRecordHeaderBytes &&
        !ReadExact(run.file, run.head + run.headBytes, kRecordHeaderBytes - run.headBytes))
        return 0;
    run.headBytes = 0;
    record->address = LoadWord(run.head);
    record->length = LoadWord(run.head + 4);
    record->checksum = LoadWord(run.head + 8);
    return 1;
}

// Reads a chunk of a record into data; the record's last chunk brings the
// next record's header with it, so that a header is seldom a read of its
// own. 0 when the file ends inside the chunk.
int ReadChunk(UpdateRun& run, uint8_t* data, uint32_t chunk, bool last)
{
    uint32_t got = 0;
    if (!OsReadFile(run.file, data, chunk + (last ? kRecordHeaderBytes : 0), &got) || got < chunk)
        return 0;
    KeepHead(run, data + chunk, got - chunk);
    return 1;
}

// Reads the whole file once before anything is touched, with the checks of
// the programming pass: every record's span, every checksum, an end record
// and no end of file before it. A bad file is so found while the old image
// is still whole. Then puts the file back at its first record. 1 = go on;
// 0 = the run ended (with the message the programming pass would show, or,
// on Abort, silently).
int CheckImageFile(UpdateRun& run, uint8_t* data)
{
    const uint32_t t0 = OsGetTickCount();
    bool shown = false;
    ForgetCoveredSpans();
    for (;;) {
        ImageRecordHeader record{};
        if (!ReadRecordHeader(run, &record)) {
            Report(run, kUnexpectedEnd);
            return 0;
        }
        if (record.address == 0 && record.checksum == 0)
            break;
        uint32_t offset = record.address + AddressOffset;
        if (!CheckRecord(run, offset, record))
            return 0;
        uint32_t remaining = record.length;
        uint32_t done = 0;
        uint32_t sum = 0;
        bool titled = false;
        while (remaining != 0) {
            if (AbortRequested.load())
                return 0;
            if (!shown && OsGetTickCount() - t0 >= kCheckShownAfterMs)
                shown = true;
            if (shown && !titled) {
                OsFormat(run.text, kTextChars, L"Checking Section: %.8x  Len: %.8x(%d)", offset, record.length,
                         static_cast<int>(record.length));
                OsSetDlgItemText(run.dialog, IDC_STEP_TEXT, run.text);
                SetBarRange(run.sectionBar, record.length);
                SetBarPos(run.sectionBar, done);
                titled = true;
            }
            uint32_t chunk = remaining < IMAGE_CHUNK_BYTES ? remaining : IMAGE_CHUNK_BYTES;
            if (!ReadChunk(run, data, chunk, chunk == remaining)) {
                Report(run, kUnexpectedEnd);
                return 0;
            }
            sum += ByteSum(data, chunk);
            done += chunk;
            remaining -= chunk;
            if (titled)
                SetBarPos(run.sectionBar, done);
        }
        if (sum != record.checksum) {
            Report(run, kBadChecksum);
            return 0;
        }
    }
    if (!OsSetFilePointer(run.file, kFirstRecordOffset)) {
        Report(run, kUnexpectedEnd);
        return 0;
    }
    run.headBytes = 0;
    return 1;
}

// Programs the records, reading each chunk back. Returns when the run ends;
// run.completed tells how. Once the erase has begun, an Abort ends the run
// with the warning that the image in flash is incomplete: never with the
// restart question. So does a file that now ends early or holds records
// the check did not see: it was rewritten (or cannot be read) since.
void ProgramRecords(UpdateRun& run, uint8_t* data)
{
    uint64_t overall = 0;

    if (AbortRequested.load()) {
        Report(run, kAborted);
        return;
    }
    for (;;) {
        ImageRecordHeader record{};
        if (!ReadRecordHeader(run, &record)) {
            Report(run, kFileChanged);   // the check pass read it whole
            return;
        }
        if (record.address == 0 && record.checksum == 0) {
            run.completed = 1;
            return;
        }
        uint32_t offset = record.address + AddressOffset;
        if (!CheckRecord(run, offset, record))
            return;

        OsFormat(run.text, kTextChars, L"Section: %.8x  Len: %.8x(%d)", offset, record.length,
                 static_cast<int>(record.length));
        OsSetDlgItemText(run.dialog, IDC_STEP_TEXT, run.text);
        SetBarRange(run.sectionBar, record.length);
        SetBarPos(run.sectionBar, 0);

        uint32_t remaining = record.length;
        uint32_t done = 0;
        uint32_t sum = 0;
        while (remaining != 0) {
            if (AbortRequested.load()) {
                Report(run, kAborted);
                return;
            }
            uint32_t chunk = remaining < IMAGE_CHUNK_BYTES ? remaining : IMAGE_CHUNK_BYTES;
            if (!ReadChunk(run, data, chunk, chunk == remaining)) {
                Report(run, kFileChanged);   // the check pass read it whole
                return;
            }
            // A partial last word is padded with ones: programming them
            // leaves the cells as erased.
            std::memset(data + chunk, 0xFF, 4);
            sum += ByteSum(data, chunk);
            if (!ProgramChunk(run, data, offset, chunk) || !ChunkReadsBack(run, data, offset, chunk)) {
                Report(run, kWriteFailed);
                return;
            }
            done += chunk;
            SetBarPos(run.sectionBar, done);
            overall += chunk;
            SetBarPos(run.imageBar, overall);
            offset += chunk;
            remaining -= chunk;
        }
        if (sum != record.checksum) {
            Report(run, kBadChecksum);
            return;
        }
        if (AbortRequested.load()) {
            Report(run, kAborted);
            return;
        }
    }
}

// How often a run that finds the flash in use looks at Abort.
constexpr uint32_t kLockPollMs = 100;

// The flash lock, as LockFlash takes it; but a run that finds the flash in
// use by another program (an update waiting for its restart answer, say)
// says so, and Abort gives the wait up. nullptr when it was given up or the
// lock could not be had.
Handle LockFlashForUpdate(UpdateRun& run)
{
    Handle lock = OsCreateMutex(FLASH_MUTEX_NAME);
    if (lock == nullptr)
        return nullptr;
    for (bool told = false;; told = true) {
        uint32_t result = OsWaitForSingleObject(lock, told ? kLockPollMs : 0);
        if (result == OS_WAIT_OBJECT_0)
            return lock;
        if (result != OS_WAIT_TIMEOUT || AbortRequested.load()) {
            OsCloseHandle(lock);
            return nullptr;
        }
        if (!told)
            OsSetDlgItemText(run.dialog, IDC_STEP_TEXT, L"Waiting for the Flash: another program is using it");
    }
}

// Everything between the start and closing. Returns when the run ends.
void RunUpdate(UpdateRun& run)
{
    // Abort while waiting for the flash: nothing was touched, nothing to say.
    if (run.lock == nullptr && AbortRequested.load())
        return;
    if (run.lock == nullptr || run.window == nullptr) {
        Report(run, L"Cannot access the Flash!");
        return;
    }
    run.savedConfigBytes = ConfigGet(CONFIG_SELECTOR_SAVED, run.savedConfig, sizeof(run.savedConfig));

    run.file = OsCreateFile(ImagePath, OS_GENERIC_READ, 0, OS_OPEN_EXISTING, 0);
    if (run.file == OS_INVALID_HANDLE) {
        wchar_t message[kOpenFailedChars];
        OsFormat(message, kOpenFailedChars, kOpenFailedFormat, ImagePath);
        Report(run, message);
        return;
    }
    ImageFileHeader header{};
    if (!ReadFileHeader(run, &header) || !PlaceImage(run, header))
        return;
    alignas(4) uint8_t data[kDataBufferBytes];
    if (!CheckImageFile(run, data))
        return;
    // Records without a byte of data (or the end record alone) would leave
    // the flash as it was, or an erased range empty, and then offer the
    // restart as if an image had been written.
    if (run.trail[0].dataBytes == 0) {
        Report(run, L"The image file holds no data!");
        return;
    }
    // The warning names what the erase reaches: whole blocks, so beyond an
    // image that ends inside one (a region may begin off a block boundary).
    const uint32_t blockSize = FlashBlockSize();
    const uint32_t erasedLength = static_cast<uint32_t>(
        (static_cast<uint64_t>(header.imageLength) + blockSize - 1) / blockSize * blockSize);
    if (!CheckImageOverlap(run.flashStart, erasedLength, run.dialog))
        return;
    // An Abort while the warning was asked (or before): nothing is erased yet.
    if (AbortRequested.load())
        return;

    OsFormat(run.text, kTextChars, L"Image: %.8x  Len: %.8x(%d)", run.flashStart, header.imageLength,
             static_cast<int>(header.imageLength));
    OsSetDlgItemText(run.dialog, IDC_IMAGE_TEXT, run.text);

    if (!EraseImageRange(run, header.imageLength))
        return;
    SetBarRange(run.imageBar, header.imageLength);
    SetBarPos(run.imageBar, 0);

    run.pass = 1;
    ProgramRecords(run, data);
    if (run.completed && !(run.trail[1] == run.trail[0])) {
        run.completed = 0;
        Report(run, kFileChanged);
    }
}

}  // namespace

uint32_t ByteSum(const uint8_t* data, uint32_t count)
{
    // Sixteen bytes at a time as eight 16-bit lanes: the two bytes of a
    // lane are added into it, so a lane gains at most 2 x 255 a step and
    // holds the sums of 128 steps before the lanes are folded into sum.
    // (Vector extensions: the compiler picks the target's instructions.)
    typedef uint16_t Lanes __attribute__((vector_size(16)));
    constexpr uint32_t kStep = 16;
    constexpr uint32_t kMaxSteps = 128;
    uint32_t sum = 0;
    uint32_t i = 0;
    while (count - i >= kStep) {
        uint32_t steps = (count - i) / kStep;
        if (steps > kMaxSteps)
            steps = kMaxSteps;
        Lanes lanes = {};
        uint32_t k = 0;
        for (; k + 2 <= steps; k += 2, i += 2 * kStep) {
            Lanes v, w;
            std::memcpy(&v, data + i, kStep);
            std::memcpy(&w, data + i + kStep, kStep);
            lanes += ((v & 0xFF) + (v >> 8)) + ((w & 0xFF) + (w >> 8));
        }
        for (; k < steps; ++k, i += kStep) {
            Lanes v;
            std::memcpy(&v, data + i, kStep);
            lanes += (v & 0xFF) + (v >> 8);
        }
        for (uint32_t lane = 0; lane < kStep / 2; ++lane)
            sum += lanes[lane];
    }
    for (; i < count; ++i)
        sum += data[i];
    return sum;
}

uint32_t RelocationOffset(uint32_t imageStart)
{
    const uint32_t s = imageStart;
    bool osRange = (s >= 0x80000000u && s < 0x9CA00000u) || (s >= 0xA0000000u && s < 0xBCA00000u);
    if (osRange) {
        uint32_t block[6] = {};
        uint32_t w = kDefaultImageOffset;
        if (ConfigGet(CONFIG_SELECTOR_FLASH, block, sizeof(block)) != 0)
            w = block[0];
        return w - s;
    }
    if (s >= 0xBCA00000u && s < 0xBFFFFFFFu)
        return 0u - s;   // a bootloader build: flash offset 0
    return 0;
}

uint32_t ImageUpdateWorker(void* param)
{
    UpdateRun run;
    run.dialog = static_cast<Window>(param);
    run.sectionBar = OsGetDlgItem(run.dialog, IDC_STEP_BAR);
    run.imageBar = OsGetDlgItem(run.dialog, IDC_IMAGE_BAR);

    run.lock = LockFlashForUpdate(run);
    run.window = MapFlashWindow(FLASH_WINDOW_FULL);

    RunUpdate(run);

    // Closing: the same steps, in this order, on every ending. Without the
    // lock nothing was sent to the flash, and nothing may be now: another
    // holder could be in the middle of a command.
    if (run.lock != nullptr && run.window != nullptr) {
        ResetToReadArray(run.window);
        if (BusWidth == 2)
            ResetToReadArray(run.window + kSecondDeviceOffset);
    }
    if (run.savedConfigBytes != 0)
        ConfigSet(CONFIG_SELECTOR_SAVED, run.savedConfig, sizeof(run.savedConfig));
    if (run.completed) {
        if (OsMessageBox(run.dialog, L"To finish the update reset the system.\n Reset now?", L"RESET",
                         OS_MB_YESNO) == OS_IDYES)
            ColdRestart();
    }
    UnlockFlash(run.lock);
    UnmapFlashWindow(run.window);
    if (run.file != OS_INVALID_HANDLE)
        OsCloseHandle(run.file);
    // Emptied before the dialog ends, so that whoever opens the progress
    // dialog next never finds the old path there.
    ImagePath[0] = 0;
    OsEndDialog(run.dialog, 0);
    return run.completed;
}
