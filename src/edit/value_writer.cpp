// Writing a stream held as values: what changed decides how (see value_stream.h).
#include <algorithm>
#include <cstring>
#include <memory>

#include "assemble/assembler_state.h"
#include "assemble/record_check.h"
#include "assemble/run_driver.h"
#include "disassemble/side_info_reader.h"
#include "edit/frame_head.h"
#include "l3/edit.h"
#include "l3/values.h"
#include "format/frame_crc.h"
#include "l3/frame_length.h"
#include "maindata/granule_coder.h"

namespace l3 {

namespace {

enum class Change { none, inPlace, values };

constexpr const char* kCoderField =
    "is chosen by the writer (it codes the values with the fewest bits); change the values "
    "instead";

// The fields that say how a granule's values are coded, with their names.
struct CodingField {
    const char* name;
    int32_t GranuleChannelInfo::*field;
};
constexpr CodingField kCodingFields[] = {
    {"part2_3_length", &GranuleChannelInfo::part2_3_length},
    {"big_values", &GranuleChannelInfo::big_values},
    {"region0_count", &GranuleChannelInfo::region0_count},
    {"region1_count", &GranuleChannelInfo::region1_count},
    {"count1table_select", &GranuleChannelInfo::count1table_select},
    {"scalefac_compress", &GranuleChannelInfo::scalefac_compress},
};

// A change to the header or to a field that says how values are coded (frame c against
// o, the values read): the writer chooses those.
RecordProblem codingFieldProblem(const FrameRecord& o, const FrameRecord& c) {
    if (c.header != o.header) return recordProblem("header", c.header, "is read only");
    if (c.main_data_begin != o.main_data_begin)
        return recordProblem("main_data_begin", c.main_data_begin,
                             "is chosen by the writer when it lays out the stream");
    const int channels = channelCount(o.header);
    for (int ch = 0; isMpeg1(o.header) && ch < channels; ++ch)
        for (int g = 0; g < 4; ++g)
            if (c.scfsi[ch][g] != o.scfsi[ch][g])
                return recordProblem("scfsi", c.scfsi[ch][g], kCoderField, -1, ch, g);
    for (int gr = 0; gr < granuleCount(o.header); ++gr)
        for (int ch = 0; ch < channels; ++ch) {
            const GranuleChannelInfo& a = o.granuleInfo[gr][ch];
            const GranuleChannelInfo& b = c.granuleInfo[gr][ch];
            for (const CodingField& f : kCodingFields)
                if (a.*f.field != b.*f.field)
                    return recordProblem(f.name, b.*f.field, kCoderField, gr, ch);
            for (int i = 0; i < 3; ++i)
                if (a.table_select[i] != b.table_select[i])
                    return recordProblem("table_select", b.table_select[i], kCoderField, gr, ch, i);
        }
    return {};
}

// How frame c differs from o in the fields a caller may change.
Change changeOf(const FrameRecord& o, const FrameRecord& c) {
    Change change = c.private_bits != o.private_bits ? Change::inPlace : Change::none;
    for (int gr = 0; gr < granuleCount(o.header); ++gr)
        for (int ch = 0; ch < channelCount(o.header); ++ch) {
            const GranuleChannelInfo& a = o.granuleInfo[gr][ch];
            const GranuleChannelInfo& b = c.granuleInfo[gr][ch];
            if (a.global_gain != b.global_gain || a.scalefac_scale != b.scalefac_scale ||
                a.preflag != b.preflag ||
                !std::equal(a.subblock_gain, a.subblock_gain + 3, b.subblock_gain))
                change = std::max(change, Change::inPlace);
            if (!sameGranuleValues(o, c, gr, ch)) change = Change::values;
        }
    return change;
}

// Fields whose value follows from others in the frame's side information: a change the
// format has no bits for.
RecordProblem impliedFieldProblem(const FrameRecord& o, const FrameRecord& c) {
    const bool mpeg1 = isMpeg1(o.header);
    for (int gr = 0; gr < granuleCount(o.header); ++gr)
        for (int ch = 0; ch < channelCount(o.header); ++ch) {
            const GranuleChannelInfo& a = o.granuleInfo[gr][ch];
            const GranuleChannelInfo& b = c.granuleInfo[gr][ch];
            if (!mpeg1 && b.preflag != a.preflag)
                return recordProblem("preflag", b.preflag,
                                     "is implied by scalefac_compress in MPEG-2 and MPEG-2.5 "
                                     "frames",
                                     gr, ch);
            if (b.window_switching_flag == 0) {
                if (b.block_type != 0)
                    return recordProblem("block_type", b.block_type,
                                         "needs window_switching_flag 1", gr, ch);
                if (b.mixed_block_flag != 0)
                    return recordProblem("mixed_block_flag", b.mixed_block_flag,
                                         "needs window_switching_flag 1", gr, ch);
                for (int w = 0; w < 3; ++w)
                    if (b.subblock_gain[w] != 0)
                        return recordProblem("subblock_gain", b.subblock_gain[w],
                                             "is coded only with window_switching_flag 1", gr, ch,
                                             w);
            } else if (b.window_switching_flag == 1 && b.block_type == 0) {
                return recordProblem("block_type", 0,
                                     "must be 1, 2 or 3 with window_switching_flag 1", gr, ch);
            }
        }
    return {};
}

// Every field of a changed frame that cannot be written, in the assembler's own words.
RecordProblem checkChanged(AssemblerState& checker, const FrameRecord& o, const FrameRecord& c) {
    RecordProblem p = impliedFieldProblem(o, c);
    if (p.field) return p;
    checker.record = c;
    checker.record.rawMainData = 0;
    checker.firstFrame = 1;
    checker.store.writePos = kInitialWritePos;
    return checkRecord(checker, 0);
}

// The frame's head rewritten from its values in out (a copy of the stream), its main data
// left where it is. A stored CRC changes as the computed one does, so a wrong one stays
// wrong by as much. False when the head does not read back as the values.
bool rewriteHead(FrameWriterState& writer, const ValueFrame& f, const FrameRecord& c,
                 std::vector<uint8_t>& out) {
    uint8_t head[kMaxHeadBytes];
    const int32_t count =
        writeFrameHead(writer, sideInformationOf(c), f.header, c.main_data_begin, head);
    uint8_t* frame = out.data() + f.offset;
    const uint16_t before = hasCrc(f.header) ? frameHeadCrc(frame, f.header) : 0;
    const size_t side = sideInfoOffset(f.header);
    std::memcpy(frame + side, head + side, static_cast<size_t>(count) - side);
    if (hasCrc(f.header)) {
        const uint16_t change = before ^ frameHeadCrc(frame, f.header);
        frame[4] = static_cast<uint8_t>(frame[4] ^ (change >> 8));
        frame[5] = static_cast<uint8_t>(frame[5] ^ (change & 0xFF));
    }
    FrameRecord& back = writer.record;
    readSideInfo(frame, back);
    if (back.private_bits != c.private_bits) return false;
    for (int gr = 0; gr < granuleCount(f.header); ++gr)
        for (int ch = 0; ch < channelCount(f.header); ++ch)
            if (std::memcmp(&back.granuleInfo[gr][ch], &c.granuleInfo[gr][ch],
                            sizeof(GranuleChannelInfo)) != 0)
                return false;
    return true;
}

}  // namespace

ValueWriteResult writeValueStream(const ValueStream& stream, const FrameRecord* original,
                                  const FrameRecord* current) {
    ValueWriteResult result;
    auto checker = std::make_unique<AssemblerState>();
    initBitStore(checker->store);
    initFrameRing(checker->ring);
    std::vector<Change> changes(stream.frames.size(), Change::none);
    Change most = Change::none;
    for (size_t k = 0; k < stream.frames.size(); ++k) {
        const ValueFrame& f = stream.frames[k];
        if (f.tag) continue;
        RecordProblem problem = codingFieldProblem(original[k], current[k]);
        if (!problem.field) changes[k] = changeOf(original[k], current[k]);
        if (!problem.field && changes[k] != Change::none) {
            // Side information is rewritten in place whatever the main data holds; values
            // that were never decoded cannot be coded.
            if (f.problem && changes[k] == Change::values) {
                result.status = Status::damaged;
                result.message = "frame " + std::to_string(k) +
                                 ": its main data does not decode (" + f.problem +
                                 "), so its values cannot be written";
                return result;
            }
            problem = checkChanged(*checker, original[k], current[k]);
        }
        if (problem.field) {
            result.status = Status::badValue;
            result.message = describeProblem(static_cast<int32_t>(k), problem);
            return result;
        }
        most = std::max(most, changes[k]);
    }

    if (most != Change::values) {
        result.output = stream.bytes;
        for (size_t k = 0; k < stream.frames.size(); ++k) {
            if (changes[k] == Change::none) continue;
            if (!rewriteHead(*checker, stream.frames[k], current[k], result.output)) {
                result.status = Status::verify;
                result.message = "frame " + std::to_string(k) +
                                 ": the rewritten side information does not read back as "
                                 "written (an internal fault: please report it)";
                result.output.clear();
                return result;
            }
        }
        return result;
    }

    FrameEdits edits;
    for (size_t k = 0; k < stream.frames.size(); ++k) {
        const ValueFrame& f = stream.frames[k];
        if (f.tag) continue;
        if (edits.records.size() <= f.audioIndex) edits.records.resize(f.audioIndex + 1, nullptr);
        if (changes[k] != Change::none) edits.records[f.audioIndex] = &current[k];
    }
    RepackResult repacked =
        repackStream(stream.bytes.data(), stream.bytes.size(), RepackOptions{}, &edits);
    result.notes = std::move(repacked.notes);
    result.message = std::move(repacked.message);
    result.output.assign(repacked.output.begin(), repacked.output.end());
    switch (repacked.status) {
        case Status::ok:
            result.status = Status::ok;
            break;
        case Status::badValue:
            result.status = Status::badValue;
            break;
        case Status::verify:
            result.status = Status::verify;
            break;
        case Status::cannotFit:
            result.status = Status::cannotLay;
            break;
        default:
            result.status = Status::damaged;
            break;
    }
    return result;
}

}  // namespace l3
