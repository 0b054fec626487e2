// libFuzzer target: l3 split's and l3 join's library on any bytes. Where a split succeeds,
// every piece has been read back as asked (its own check: Status::verify is a fault). One input
// size in four also joins the pieces, which must give back the input's audio frames one for
// one (after a silent frame for a VBRI stream's): the join and the comparison cost as much
// again as the split. The cut point and the choice come from the size, so that the bytes
// stay the stream's and a failing input fails again alone.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "edit/cut.h"
#include "l3/edit.h"
#include "edit/source_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    l3::TimePoint point;
    point.samples = true;
    point.units = static_cast<int64_t>(size * 2654435761u % 8000) + 1;
    const l3::CutResult split = l3::splitStream(data, size, {point}, nullptr);
    if (split.status == l3::Status::verify) std::abort();
    if (split.status != l3::Status::ok || size % 4 != 0) return 0;
    std::vector<l3::JoinInput> pieces;
    for (const l3::CutPiece& piece : split.pieces)
        pieces.push_back({"piece", piece.output.data(), piece.output.size()});
    const l3::JoinResult joined = l3::joinStreams(pieces);
    // A stream whose channel count changes may give pieces that differ in it.
    if (joined.status == l3::Status::mismatch) return 0;
    if (joined.status != l3::Status::ok) std::abort();
    l3::SourceStream a, b;
    l3::SourceProblem pa, pb;
    if (!l3::readSource(data, size, l3::SourcePass::layout, 1, a, pa) ||
        !l3::readSource(joined.output.data(), joined.output.size(), l3::SourcePass::layout, 1, b,
                        pb))
        std::abort();
    // The pieces of a VBRI stream join back behind a Xing frame and the silent frame that
    // stands where mpg123 decoded the VBRI frame (or, where the first piece is whole
    // frames, as the stream is).
    const size_t fillers =
        a.xing.kind == l3::XingKind::vbri && b.frames.size() == a.frames.size() + 1 ? 1 : 0;
    if (b.frames.size() != a.frames.size() + fillers) std::abort();
    for (size_t k = 0; k < fillers; ++k)
        if (!l3::isFillerFrame(b, k)) std::abort();
    for (size_t k = 0; k < a.frames.size(); ++k)
        if (!l3::compareFrame(a, k, b, k + fillers).empty()) std::abort();
    return 0;
}
