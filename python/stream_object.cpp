// The stream object behind l3.Stream: the bytes read, the values decoded from them (one
// FrameRecord per frame, shown to numpy without a copy) and a copy of those values as
// read, against which a write finds what changed.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "bindings.h"
#include "l3/edit.h"
#include "l3/values.h"
#include "l3/frame_header.h"
#include "l3/frame_length.h"
#include "l3/disassemble.h"

namespace l3py {

namespace {

struct StreamObject {
    l3::ValueStream stream;
    std::unique_ptr<l3::FrameRecord[]> current;   // what numpy shows and Python changes
    std::unique_ptr<l3::FrameRecord[]> original;  // as read
    size_t frames = 0;
};

// Scans and decodes obj->stream.bytes; called without the GIL. False (nothing decoded) for
// bytes without a Layer III frame, with the message l3disassemble gives for them.
bool decode(StreamObject& obj, std::string& refusal) {
    l3::scanValueStream(obj.stream);
    obj.frames = obj.stream.frames.size();
    if (obj.frames == 0) {
        const std::vector<uint8_t>& bytes = obj.stream.bytes;
        refusal = l3::disassemble(bytes.data(), bytes.size(), nullptr).message;
        if (refusal.empty()) refusal = "no Layer III frame found";
        return false;
    }
    // One record more than the frames, so that an empty stream still has storage to show.
    obj.current.reset(new l3::FrameRecord[obj.frames + 1]());
    obj.original.reset(new l3::FrameRecord[obj.frames + 1]);
    l3::decodeValueStream(obj.stream, obj.current.get());
    std::memcpy(obj.original.get(), obj.current.get(), sizeof(l3::FrameRecord) * obj.frames);
    return true;
}

std::unique_ptr<StreamObject> fromBytes(py::buffer data) {
    auto obj = std::make_unique<StreamObject>();
    const py::buffer_info info = data.request();
    const auto* bytes = static_cast<const uint8_t*>(info.ptr);
    const size_t size = static_cast<size_t>(info.size * info.itemsize);
    std::string refusal;
    bool decoded;
    {
        py::gil_scoped_release release;
        obj->stream.bytes.assign(bytes, bytes + size);
        decoded = decode(*obj, refusal);
    }
    if (!decoded) fail("NotLayer3Error", l3::Status::notLayer3, refusal);
    return obj;
}

std::unique_ptr<StreamObject> fromFile(const std::string& path) {
    auto obj = std::make_unique<StreamObject>();
    std::string refusal;
    bool decoded = false;
    {
        py::gil_scoped_release release;
        obj->stream.bytes = readFileBytes(path);
        decoded = decode(*obj, refusal);
    }
    if (!decoded) fail("NotLayer3Error", l3::Status::notLayer3, path + ": " + refusal);
    return obj;
}

// The stream with the values as they are now. Called without the GIL.
l3::ValueWriteResult encode(const StreamObject& obj) {
    return l3::writeValueStream(obj.stream, obj.original.get(), obj.current.get());
}

// The notes of a write that succeeded; throws Failure for one that did not: BadValueError (a
// value or change that cannot be written), DamagedError (a frame whose values cannot be
// recoded), CannotFitError, VerifyError (an internal fault).
py::list notesOf(const l3::ValueWriteResult& result) {
    switch (result.status) {
        case l3::Status::ok:
            break;
        case l3::Status::badValue:
        case l3::Status::damaged:
        case l3::Status::cannotLay:
            failEdit(result.status, result.message);
        default:
            failEdit(l3::Status::verify, result.message);
    }
    py::list notes;
    for (const std::string& note : result.notes) notes.append(note);
    return notes;
}

py::bytes toBytes(const std::vector<uint8_t>& bytes) {
    return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// Per frame what its header and place say, as numpy arrays for l3.Frame.
py::dict frameTable(const StreamObject& obj) {
    const size_t n = obj.frames;
    py::array_t<uint64_t> offset(n), length(n);
    py::array_t<uint32_t> header(n);
    py::array_t<bool> isTag(n), crc(n), padding(n);
    py::array_t<int32_t> bitrate(n), sampleRate(n), channels(n), granules(n), mode(n),
        modeExtension(n), version(n);
    py::list problems;
    for (size_t k = 0; k < n; ++k) {
        const l3::ValueFrame& f = obj.stream.frames[k];
        const uint32_t h = f.header;
        const auto i = static_cast<py::ssize_t>(k);
        offset.mutable_at(i) = f.offset;
        length.mutable_at(i) = static_cast<uint64_t>(f.length);
        header.mutable_at(i) = h;
        isTag.mutable_at(i) = f.tag;
        crc.mutable_at(i) = l3::hasCrc(h);
        padding.mutable_at(i) = l3::paddingBit(h) != 0;
        bitrate.mutable_at(i) = l3::bitrateTable[l3::isMpeg1(h)][l3::bitrateIndex(h)] / 1000;
        sampleRate.mutable_at(i) = l3::samplingRateTable[l3::versionCode(h)][l3::samplingIndex(h)];
        channels.mutable_at(i) = l3::channelCount(h);
        granules.mutable_at(i) = l3::granuleCount(h);
        mode.mutable_at(i) = l3::channelMode(h);
        modeExtension.mutable_at(i) = l3::modeExtension(h);
        version.mutable_at(i) = l3::versionCode(h);
        problems.append(f.problem ? py::object(py::str(f.problem)) : py::object(py::none()));
    }
    py::dict table;
    table["offset"] = offset;
    table["length"] = length;
    table["header"] = header;
    table["is_tag"] = isTag;
    table["crc"] = crc;
    table["padding"] = padding;
    table["bitrate"] = bitrate;
    table["sample_rate"] = sampleRate;
    table["channels"] = channels;
    table["granules"] = granules;
    table["mode"] = mode;
    table["mode_extension"] = modeExtension;
    table["version_code"] = version;
    table["problem"] = problems;
    return table;
}

}  // namespace

void bindStream(py::module_& m) {
    py::class_<StreamObject>(m, "StreamObject",
                             "The values of a stream's frames and the bytes they came from")
        .def_static("from_bytes", &fromBytes, py::arg("data"),
                    "Reads a stream from a bytes-like object")
        .def_static("from_file", &fromFile, py::arg("path"), "Reads a stream from a file")
        .def_property_readonly("frame_count", [](const StreamObject& s) { return s.frames; })
        .def(
            "values",
            [](py::object self) {
                StreamObject& s = self.cast<StreamObject&>();
                const auto n = static_cast<py::ssize_t>(s.frames);
                return py::array(frameDtype(), {n},
                                 {static_cast<py::ssize_t>(sizeof(l3::FrameRecord))},
                                 s.current.get(), self);
            },
            "Every frame's values, a structured array over the stream's own storage")
        .def("frame_table", &frameTable)
        .def("source_bytes", [](const StreamObject& s) { return toBytes(s.stream.bytes); })
        .def("leading_bytes",
             [](const StreamObject& s) {
                 const size_t end = s.frames ? s.stream.frames[0].offset : s.stream.bytes.size();
                 return py::bytes(reinterpret_cast<const char*>(s.stream.bytes.data()), end);
             })
        .def("trailing_bytes",
             [](const StreamObject& s) {
                 const l3::ValueFrame* last = s.frames ? &s.stream.frames.back() : nullptr;
                 const size_t from = last ? last->offset + static_cast<size_t>(last->length)
                                          : s.stream.bytes.size();
                 return py::bytes(reinterpret_cast<const char*>(s.stream.bytes.data()) + from,
                                  s.stream.bytes.size() - from);
             })
        .def(
            "encode",
            [](const StreamObject& s) {
                l3::ValueWriteResult result;
                {
                    py::gil_scoped_release release;
                    result = encode(s);
                }
                py::list notes = notesOf(result);
                return py::make_tuple(toBytes(result.output), notes);
            },
            "The stream with its values as they are now, and notes on what was dropped")
        .def(
            "encode_to_file",
            [](const StreamObject& s, const std::string& path) {
                l3::ValueWriteResult result;
                {
                    py::gil_scoped_release release;
                    result = encode(s);
                }
                py::list notes = notesOf(result);
                py::gil_scoped_release release;
                writeFiles({path}, {{result.output.data(), result.output.size()}});
                return notes;
            },
            py::arg("path"), "Writes the stream to a file; nothing is written on an error");
}

}  // namespace l3py
