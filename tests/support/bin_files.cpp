#include "tests/support/bin_files.h"

#include <algorithm>

namespace imagekit {

namespace {
void Append32(Bytes& b, uint32_t v) { Put32(b, b.size(), v); }
size_t Arg(const BinOptions& o, size_t def) { return o.flawArg ? o.flawArg : def; }
}  // namespace

Bytes BuildBin(uint32_t start, uint32_t length, const std::vector<BinRecord>& records,
               const BinOptions& o)
{
    Bytes out(kBinSignature, kBinSignature + 7);
    if (o.flaw == BinFlaw::WrongSignature)
        out[5] = 'E';
    if (o.flaw == BinFlaw::ShortFile) {
        out.resize(std::min<size_t>(Arg(o, 4), 6));
        return out;
    }
    Append32(out, start);
    Append32(out, length);
    if (o.flaw == BinFlaw::TruncatedHeader) {
        out.resize(7 + std::min<size_t>(Arg(o, 6), 7));
        return out;
    }
    for (size_t i = 0; i < records.size(); ++i) {
        const BinRecord& r = records[i];
        bool flawed = i == o.flawRecord;
        uint32_t sum = ByteSum(r.data);
        if (flawed && o.flaw == BinFlaw::BadChecksum)
            sum += 1;
        size_t recordStart = out.size();
        Append32(out, r.address);
        Append32(out, uint32_t(r.data.size()));
        Append32(out, sum);
        if (flawed && o.flaw == BinFlaw::TruncatedRecordHeader) {
            out.resize(recordStart + std::min<size_t>(Arg(o, 8), 11));
            return out;
        }
        if (flawed && o.flaw == BinFlaw::TruncatedRecordData) {
            size_t keep = std::min(Arg(o, 13), r.data.size());
            out.insert(out.end(), r.data.begin(), r.data.begin() + keep);
            return out;
        }
        out.insert(out.end(), r.data.begin(), r.data.end());
    }
    if (o.flaw == BinFlaw::MissingEnd)
        return out;
    Append32(out, 0);
    Append32(out, o.endLength);
    Append32(out, 0);
    if (o.flaw == BinFlaw::ExtraAfterEnd) {
        Bytes junk = Pattern(Arg(o, 64), 99);
        out.insert(out.end(), junk.begin(), junk.end());
    }
    return out;
}

Bytes BinOfImage(uint32_t start, const Bytes& image, size_t recordSize, const BinOptions& options)
{
    std::vector<BinRecord> records;
    for (size_t pos = 0; pos < image.size(); pos += recordSize) {
        const size_t n = std::min(recordSize, image.size() - pos);
        records.push_back({start + uint32_t(pos), Bytes(image.begin() + pos, image.begin() + pos + n)});
    }
    return BuildBin(start, uint32_t(image.size()), records, options);
}

Bytes OsImageBin(uint32_t start, uint32_t n, uint32_t seed, const BinOptions& options)
{
    return BinOfImage(start, Pattern(n, seed), 0x10000, options);
}

}  // namespace imagekit
