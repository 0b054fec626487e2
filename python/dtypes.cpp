#include <cstddef>

#include "bindings.h"
#include "l3/frame_record.h"
#include "l3/record.h"

namespace l3py {

namespace {

// One field: its name, numpy format (with a shape for arrays) and byte offset.
struct Field {
    const char* name;
    py::object format;
    size_t offset;
};

py::dtype structDtype(const std::vector<Field>& fields, size_t itemsize) {
    py::list names, formats, offsets;
    for (const Field& f : fields) {
        names.append(f.name);
        formats.append(f.format);
        offsets.append(f.offset);
    }
    py::dict layout;
    layout["names"] = names;
    layout["formats"] = formats;
    layout["offsets"] = offsets;
    layout["itemsize"] = itemsize;
    return py::dtype::from_args(layout);
}

py::object fmt(const char* format) {
    return py::str(format);
}

py::object array(const py::object& base, py::tuple shape) {
    return py::make_tuple(base, shape);
}

// Side information of one granule and channel, as a Frame names its fields; int32 in the
// byte order given ("=" native, "<" little-endian), at the offsets of GranuleChannelInfo.
py::dtype granuleDtype(const std::string& order, bool recordNames) {
    using G = l3::GranuleChannelInfo;
    auto i4 = [&](int count = 1) {
        return count == 1 ? fmt((order + "i4").c_str())
                          : array(fmt((order + "i4").c_str()), py::make_tuple(count));
    };
    std::vector<Field> fields = {
        {"part2_3_length", i4(), offsetof(G, part2_3_length)},
        {"big_values", i4(), offsetof(G, big_values)},
        {"global_gain", i4(), offsetof(G, global_gain)},
        {"scalefac_compress", i4(), offsetof(G, scalefac_compress)},
        {recordNames ? "window_switching_flag" : "window_switching", i4(),
         offsetof(G, window_switching_flag)},
        {"block_type", i4(), offsetof(G, block_type)},
        {recordNames ? "mixed_block_flag" : "mixed_block", i4(), offsetof(G, mixed_block_flag)},
        {"table_select", i4(3), offsetof(G, table_select)},
        {"subblock_gain", i4(3), offsetof(G, subblock_gain)},
        {"region0_count", i4(), offsetof(G, region0_count)},
        {"region1_count", i4(), offsetof(G, region1_count)},
        {"preflag", i4(), offsetof(G, preflag)},
        {"scalefac_scale", i4(), offsetof(G, scalefac_scale)},
        {"count1table_select", i4(), offsetof(G, count1table_select)},
    };
    if (recordNames) {
        fields.insert(fields.begin(),
                      {{"reserved", i4(), offsetof(G, reserved)},
                       {"raw_part2_3_length", i4(), offsetof(G, rawPart2_3Length)}});
    }
    return structDtype(fields, sizeof(G));
}

}  // namespace

py::dtype frameDtype() {
    using R = l3::FrameRecord;
    return structDtype(
        {
            {"header", fmt("=u4"), offsetof(R, header)},
            {"main_data_begin", fmt("=i4"), offsetof(R, main_data_begin)},
            {"private_bits", fmt("=i4"), offsetof(R, private_bits)},
            {"scfsi", array(fmt("=i4"), py::make_tuple(2, 4)), offsetof(R, scfsi)},
            {"side", array(granuleDtype("=", false), py::make_tuple(2, 2)),
             offsetof(R, granuleInfo)},
            {"scalefactors", array(fmt("=u2"), py::make_tuple(2, 2, l3::kScalefactorEntries)),
             offsetof(R, scalefactors)},
            {"spectrum", array(fmt("=i2"), py::make_tuple(2, 2, l3::kSpectrumLines)),
             offsetof(R, spectrum)},
        },
        sizeof(R));
}

py::dtype recordDtype() {
    return structDtype(
        {
            {"header", fmt("<u4"), l3::kOffHeader},
            {"reserved0", fmt("<u2"), l3::kOffReserved0},
            {"main_data_begin", fmt("<i4"), l3::kOffMainDataBegin},
            {"placed_main_data_begin", fmt("<i4"), l3::kOffPlacedMainDataBegin},
            {"private_bits", fmt("<i4"), l3::kOffPrivateBits},
            {"scfsi", array(fmt("<i4"), py::make_tuple(2, 4)), l3::kOffScfsi},
            {"reserved1", fmt("<i4"), l3::kOffReserved1},
            {"raw_main_data", fmt("<i4"), l3::kOffRawMainData},
            {"side", array(granuleDtype("<", true), py::make_tuple(2, 2)), l3::kOffGranuleInfo},
            {"scalefactors", array(fmt("<u2"), py::make_tuple(2, 2, l3::kScalefactorEntries)),
             l3::kOffScalefactors},
            {"spectrum", array(fmt("<i2"), py::make_tuple(2, 2, l3::kSpectrumLines)),
             l3::kOffSpectrum},
            {"ancillary_bits", fmt("<i4"), l3::kRecordBytes},
        },
        l3::kRecordEntryBytes);
}

py::dtype recordHeadDtype() {
    return structDtype({{"frame_count", fmt("<i4"), 0},
                        {"unused", fmt("<u4"), 4},
                        {"output_limit", fmt("<i4"), 8}},
                       l3::kHeadBytes);
}

}  // namespace l3py
