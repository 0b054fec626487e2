// Writes the crafted streams the decoder judges run every edit over: the codings decoders
// read differently (window-switching region starts at every rate, the 24 kHz band edge,
// count1 quadruples and big-value pairs cut by part2_3_length, bits after line 576, channel
// modes that switch, side information the format forbids), each to DIR/NAME.mp3.
//
//   write_crafted DIR

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/crafted_streams.h"

namespace {

namespace c = l3test::crafted;

void write(const std::filesystem::path& dir, const std::string& name, const c::CraftedStreams& s) {
    std::ofstream out(dir / (name + ".mp3"), std::ios::binary);
    out.write(reinterpret_cast<const char*>(s.odd.data()), static_cast<std::streamsize>(s.odd.size()));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: write_crafted DIR\n");
        return 1;
    }
    const std::filesystem::path dir = argv[1];
    std::filesystem::create_directories(dir);
    const int rates[] = {44100, 48000, 32000, 22050, 24000, 16000, 11025, 12000, 8000};
    const struct {
        const char* name;
        c::SwitchingKind kind;
    } kinds[] = {{"start", c::SwitchingKind::kStart},
                 {"short", c::SwitchingKind::kShort},
                 {"mixed", c::SwitchingKind::kMixed},
                 {"stop", c::SwitchingKind::kStop}};
    const struct {
        const char* name;
        c::Cut cut;
    } cuts[] = {{"code", c::Cut::kCodeWord}, {"sign", c::Cut::kSignBit}, {"exact", c::Cut::kExact}};
    uint32_t seed = 1;
    for (const int rate : rates) {
        const std::string r = std::to_string(rate);
        for (const auto& k : kinds) write(dir, "switching_" + r + "_" + k.name, c::switchingBoundary(rate, k.kind, seed++));
    }
    write(dir, "long_edge18_24000", c::longBoundary(24000, 18, seed++));
    write(dir, "long_edge9_8000", c::longBoundary(8000, 9, seed++));
    for (const int rate : {44100, 22050, 8000}) {
        const std::string r = std::to_string(rate);
        for (const auto& k : cuts) {
            write(dir, std::string("count1_") + k.name + "_" + r, c::count1Overrun(rate, k.cut, seed++));
            write(dir, std::string("pairs_") + k.name + "_" + r, c::bigValueOverrun(rate, k.cut, seed++));
        }
        write(dir, "stuffing_bits_" + r, c::stuffingAfterLine576(rate, c::Stuffing::kRandomBits, seed++));
        write(dir, "stuffing_quad_" + r, c::stuffingAfterLine576(rate, c::Stuffing::kExtraQuadruple, seed++));
        write(dir, "modes_mono_first_" + r, c::modeSwitching(rate, 5, true, seed++));
        write(dir, "modes_stereo_first_" + r, c::modeSwitching(rate, 5, false, seed++));
    }
    write(dir, "invalid_scalefactors_44100", c::invalidSideInfo(44100, c::Invalid::kScalefactorsPastEnd, seed++));
    write(dir, "invalid_big_values_22050", c::invalidSideInfo(22050, c::Invalid::kBigValuesAbove288, seed++));
    write(dir, "invalid_table4_44100", c::invalidSideInfo(44100, c::Invalid::kTable4, seed++));
    return 0;
}
