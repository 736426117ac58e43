// .bin image files for tests: any records, and the broken variants a
// reader must survive (the board's own image kit writes only sound files).
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "board/imagekit.h"

namespace imagekit {

struct BinRecord {
    uint32_t address = 0;
    Bytes data;
};

// Broken variants of a .bin file.
enum class BinFlaw {
    None,
    WrongSignature,      // signature bytes altered ("B000FE\n")
    ShortFile,           // only the first flawArg bytes of the signature (default 4)
    TruncatedHeader,     // ends inside image start/length: 7 + flawArg bytes (default 6)
    TruncatedRecordHeader,  // record flawRecord's header cut after flawArg bytes (default 8)
    TruncatedRecordData,    // record flawRecord keeps only flawArg data bytes (default 13); file ends
    BadChecksum,         // record flawRecord's checksum is off by one
    MissingEnd,          // no end record: the file ends after the last record
    ExtraAfterEnd,       // flawArg bytes (default 64) of garbage follow the end record
};

struct BinOptions {
    BinFlaw flaw = BinFlaw::None;
    size_t flawRecord = 0;   // index of the record a record flaw applies to
    size_t flawArg = 0;      // 0 = the flaw's default size
    uint32_t endLength = 0;  // length word of the end record (not read by readers)
};

// A .bin file: header with start and length, the records in order, then the
// end record, each record with its true ByteSum unless a flaw says otherwise.
Bytes BuildBin(uint32_t start, uint32_t length, const std::vector<BinRecord>& records,
               const BinOptions& options = {});

// BinOfImage and OsImageBin with records of any size and a flaw.
Bytes BinOfImage(uint32_t start, const Bytes& image, size_t recordSize, const BinOptions& options = {});
Bytes OsImageBin(uint32_t start, uint32_t n, uint32_t seed, const BinOptions& options);

}  // namespace imagekit
