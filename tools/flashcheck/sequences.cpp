#include "tools/flashcheck/sequences.h"

#include "platform/mmio.h"

namespace flashcheck {

namespace {

// Command words for both devices of the 32-bit bus at once.
constexpr uint32_t kReadArray = 0x00FF00FF;
constexpr uint32_t kReadStatus = 0x00700070;
constexpr uint32_t kClearStatus = 0x00500050;
constexpr uint32_t kReadIdentifier = 0x00900090;
constexpr uint32_t kCfiQuery = 0x00980098;
constexpr uint32_t kBlockErase = 0x00200020;
constexpr uint32_t kWordProgram = 0x00400040;
constexpr uint32_t kWordProgramAlt = 0x00100010;
constexpr uint32_t kWriteToBuffer = 0x00E800E8;
constexpr uint32_t kConfirm = 0x00D000D0;
constexpr uint32_t kLockSetup = 0x00600060;
constexpr uint32_t kLockBlock = 0x00010001;

class Builder {
public:
    explicit Builder(Table* t) : t_(t) { t_->cycleCount = t_->sequenceCount = 0; }
    bool ok() const { return ok_; }

    // Starts the next sequence in a block of its own, in read-array mode.
    // (Not with a clear status: QEMU's clears the ready bit too, which
    // would show in every status read that follows no operation.)
    uint32_t Begin(const char* name)
    {
        if (t_->sequenceCount == kMaxSequences) {
            ok_ = false;
            return kFirstBlock;
        }
        Sequence& s = t_->sequences[t_->sequenceCount];
        s.name = name;
        s.first = t_->cycleCount;
        s.count = 0;
        s.block = kFirstBlock + t_->sequenceCount * kBlockBytes;
        ++t_->sequenceCount;
        W32(s.block, kReadArray);
        return s.block;
    }

    void W32(uint32_t offset, uint32_t value) { Add(kW32, kData, offset, value); }
    void W16(uint32_t offset, uint32_t value) { Add(kW16, kData, offset, value & 0xFFFF); }
    void R32(uint32_t offset, uint8_t tag = kData) { Add(kR32, tag, offset, 0); }
    void R16(uint32_t offset, uint8_t tag = kData) { Add(kR16, tag, offset, 0); }

    // A word program of both devices, its status, and read array.
    void Program(uint32_t offset, uint32_t value, uint32_t command = kWordProgram)
    {
        W32(offset, command);
        W32(offset, value);
        R32(offset, kStatus);
        W32(offset, kReadArray);
    }

    // The lock bit of the block at offset set (lock) or cleared (unlock),
    // with the status after it.
    void Lock(uint32_t offset, bool lock)
    {
        W32(offset, kLockSetup);
        W32(offset, lock ? kLockBlock : kConfirm);
        R32(offset, kStatus);
        W32(offset, kClearStatus);
        W32(offset, kReadArray);
    }

    // A write-to-buffer of `words` bus words from offset with `countWord`
    // as the count, the status after its confirm, and every word read back
    // (and the one after it).
    void Buffer(uint32_t offset, uint32_t words, uint32_t countWord, uint32_t seed)
    {
        W32(offset, kWriteToBuffer);
        R32(offset, kXsr);
        W32(offset, countWord);
        for (uint32_t i = 0; i < words; ++i)
            W32(offset + 4 * i, Data(seed, i));
        W32(offset + 4 * (words - 1), kConfirm);
        R32(offset, kStatus);
        R32(offset, kStatus);
        W32(offset, kClearStatus);
        W32(offset, kReadArray);
        for (uint32_t i = 0; i <= words; ++i)
            R32(offset + 4 * i);
    }

    // Data words that are neither erased (0xFFFF) nor zero in either half.
    static uint32_t Data(uint32_t seed, uint32_t i)
    {
        return 0x5A000000u | ((seed & 0xFF) << 16) | 0xC300u | (i & 0xFF);
    }

private:
    void Add(uint8_t op, uint8_t tag, uint32_t offset, uint32_t value)
    {
        if (t_->cycleCount == kMaxCycles || t_->sequenceCount == 0) {
            ok_ = false;
            return;
        }
        t_->cycles[t_->cycleCount++] = Cycle{op, tag, offset, value};
        ++t_->sequences[t_->sequenceCount - 1].count;
    }

    Table* t_;
    bool ok_ = true;
};

}  // namespace

void Hex8(uint32_t v, char* out)
{
    static const char digits[] = "0123456789abcdef";
    for (int i = 7; i >= 0; --i) {
        out[i] = digits[v & 15];
        v >>= 4;
    }
    out[8] = 0;
}

int MakeSequences(Table* t)
{
    Builder b(t);
    uint32_t B = b.Begin("read-array");
    b.R32(B);
    b.R16(B);
    b.R16(B + 2);
    b.R32(B + kBlockBytes - 4);

    B = b.Begin("read-status");
    b.W32(B, kReadStatus);
    b.R32(B, kStatus);
    b.R32(B + 0x100, kStatus);   // status mode answers at any address
    b.R16(B, kStatus);
    b.R16(B + 2, kStatus);
    b.W32(B, kReadArray);
    b.R32(B);

    B = b.Begin("clear-status");
    b.W32(B, kClearStatus);
    b.R32(B);           // the mode a clear leaves
    b.W32(B, kReadStatus);
    b.R32(B, kStatus);  // and the status after it

    B = b.Begin("read-identifier");
    b.W32(B, kReadIdentifier);
    b.R32(B, kIdentifier);       // manufacturer
    b.R32(B + 4, kIdentifier);   // device
    b.R32(B + 8, kIdentifier);   // the block's lock configuration
    b.R16(B, kIdentifier);
    b.R16(B + 6, kIdentifier);
    b.W32(B, kReadArray);
    b.R32(B);

    B = b.Begin("cfi-query");
    b.W32(B, kCfiQuery);
    // The query's addresses count from the devices' start (bus offset 0).
    for (uint32_t a = 0x10; a < 0x40; ++a)
        b.R32(4 * a, kCfi);
    b.W32(B, kReadArray);
    b.R32(B);

    B = b.Begin("word-program");
    b.Program(B, b.Data(1, 0));
    b.Program(B + 4, b.Data(1, 1), kWordProgramAlt);
    b.Program(B + kBlockBytes - 4, b.Data(1, 2));
    b.R32(B);
    b.R32(B + 4);
    b.R32(B + 8);
    b.R32(B + kBlockBytes - 4);

    B = b.Begin("program-0-to-1");
    b.Program(B, 0x0000CCCCu);
    b.Program(B, 0xFFFF3333u);   // would turn cleared bits back to ones
    b.R32(B);

    B = b.Begin("block-erase");
    b.Program(B, b.Data(2, 0));
    b.Program(B + 0x20000, b.Data(2, 1));
    b.Program(B + kBlockBytes - 4, b.Data(2, 2));
    b.W32(B + 0x1000, kBlockErase);   // any address in the block
    b.W32(B + 0x1000, kConfirm);
    b.R32(B, kStatus);
    b.R32(B, kStatus);
    b.W32(B, kReadArray);
    b.R32(B);
    b.R32(B + 0x20000);
    b.R32(B + kBlockBytes - 4);

    B = b.Begin("erase-bad-sequence");
    b.Program(B, b.Data(3, 0));
    b.W32(B, kBlockErase);
    b.W32(B, kReadStatus);   // not the confirm
    b.R32(B, kStatus);
    b.W32(B, kClearStatus);
    b.W32(B, kReadStatus);
    b.R32(B, kStatus);
    b.W32(B, kReadArray);
    b.R32(B);

    B = b.Begin("blank-erase");   // an erase of a block that is blank already
    b.W32(B, kBlockErase);
    b.W32(B, kConfirm);
    b.R32(B, kStatus);
    b.W32(B, kReadArray);
    b.R32(B);

    // Write to buffer: every count from 1 to 16 words from a line's start,
    // each in a line of its own.
    B = b.Begin("buffer-aligned");
    for (uint32_t n = 1; n <= 16; ++n)
        b.Buffer(B + 0x40 * n, n, (n - 1) * 0x00010001u, n);
    // Starts inside a line: the buffer ends at the line's end.
    B = b.Begin("buffer-unaligned");
    for (uint32_t n = 1; n <= 15; ++n)
        b.Buffer(B + 0x40 * n + 4 * (16 - n), n, (n - 1) * 0x00010001u, 0x20 + n);
    b.Buffer(B + 0x800 + 12, 5, 4 * 0x00010001u, 0x40);   // in the middle of a line
    const struct {
        const char* name;
        uint32_t words;
    } across[] = {{"buffer-across-line-2", 2}, {"buffer-across-line-8", 8}, {"buffer-across-line-16", 16}};
    for (const auto& a : across) {
        B = b.Begin(a.name);
        b.Buffer(B + 0x40 - 4, a.words, (a.words - 1) * 0x00010001u, 0x50 + a.words);
    }
    B = b.Begin("buffer-count-too-large");
    b.Buffer(B, 16, 16 * 0x00010001u, 0x60);   // 17 words announced
    B = b.Begin("buffer-counts-differ");
    b.Buffer(B, 4, 0x00030007u, 0x61);           // device 0: 8 words, device 1: 4
    B = b.Begin("buffer-bad-confirm");
    b.W32(B, kWriteToBuffer);
    b.R32(B, kXsr);
    b.W32(B, 0x00010001u);
    b.W32(B, b.Data(0x62, 0));
    b.W32(B + 4, b.Data(0x62, 1));
    b.W32(B + 4, kReadStatus);   // not the confirm
    b.R32(B, kStatus);
    b.W32(B, kClearStatus);
    b.W32(B, kReadArray);
    b.R32(B);
    b.R32(B + 4);

    // An error that both models see, cleared: the buffer after it must be
    // taken as on a fresh device. (A device whose clear left the error
    // bits would refuse it.)
    B = b.Begin("error-cleared");
    b.W32(B, kWriteToBuffer);
    b.W32(B, 0x00010001u);
    b.W32(B, b.Data(0x63, 0));
    b.W32(B + 0x1000, b.Data(0x63, 1));   // outside the buffer's line
    b.W32(B + 0x1000, kConfirm);
    b.W32(B, kClearStatus);
    b.W32(B, kReadArray);
    b.Buffer(B + 0x40, 2, 0x00010001u, 0x64);

    B = b.Begin("lock-erase");
    b.Program(B, b.Data(4, 0));
    b.Lock(B, true);
    b.W32(B, kReadIdentifier);
    b.R32(B + 8, kIdentifier);   // the lock configuration reads locked
    b.W32(B, kBlockErase);
    b.W32(B, kConfirm);
    b.R32(B, kStatus);
    b.W32(B, kClearStatus);
    b.W32(B, kReadArray);
    b.R32(B);
    b.Lock(B, false);
    b.W32(B, kReadIdentifier);
    b.R32(B + 8, kIdentifier);
    b.W32(B, kReadArray);

    B = b.Begin("lock-program");
    b.Lock(B, true);
    b.Program(B, b.Data(5, 0));
    b.W32(B, kClearStatus);
    b.Buffer(B + 0x40, 4, 3 * 0x00010001u, 5);
    b.Lock(B, false);
    b.R32(B);

    B = b.Begin("one-device-command");
    b.W16(B + 2, kReadStatus);   // device 1 only
    b.R32(B, kStatus);
    b.W16(B + 2, kReadArray);
    b.R32(B);
    return b.ok() ? 1 : 0;
}

int RunSequences(const Table& t, ReadReport report, void* ctx)
{
    const uint32_t size = 32u << 20;   // the module's whole flash
    void* window = OsVirtualAlloc(size, OS_MEM_RESERVE, OS_PAGE_NOACCESS);
    if (window == nullptr || !OsVirtualCopy(window, 0, size, OS_PAGE_PHYSICAL | OS_PAGE_NOCACHE | OS_PAGE_READWRITE))
        return 0;
    uint8_t* base = static_cast<uint8_t*>(window);
    for (uint32_t s = 0; s < t.sequenceCount; ++s) {
        const Sequence& seq = t.sequences[s];
        for (uint32_t i = 0; i < seq.count; ++i) {
            const Cycle& c = t.cycles[seq.first + i];
            uint8_t* a = base + c.offset;
            switch (c.op) {
            case kW32: OsWrite32(a, c.value); break;
            case kW16: OsWrite16(a, uint16_t(c.value)); break;
            case kR32: report(ctx, seq, i, c, OsRead32(a)); break;
            default: report(ctx, seq, i, c, OsRead16(a)); break;
            }
        }
    }
    OsVirtualFree(window, 0, OS_MEM_RELEASE);
    return 1;
}

}  // namespace flashcheck
