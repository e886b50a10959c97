// brimvox._core: the codec for numpy arrays. The Python package checks the arguments and
// words the errors; this module does the coding with the GIL released.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstring>
#include <mutex>
#include <string>

#include "sound_io.h"
#include "stream_codec.h"

using namespace brimvox;
using namespace brimvox::py;  // NOLINT

namespace {

// Samples as the package hands them over: C-contiguous, rows x channels.
template <typename T>
void encodeArray(StreamEncoder& encoder, const pybind11::array& a, std::string& out) {
    const T* data = static_cast<const T*>(a.data());
    const size_t rows = static_cast<size_t>(a.shape(0));
    const int channels = a.ndim() == 2 ? static_cast<int>(a.shape(1)) : 1;
    pybind11::gil_scoped_release unlocked;
    encoder.encode(data, rows, channels, out);
}

void encodeAnyArray(StreamEncoder& encoder, const pybind11::array& a, std::string& out) {
    if (!(a.flags() & pybind11::array::c_style) || a.ndim() < 1 || a.ndim() > 2) {
        throw std::invalid_argument("samples must be a C-contiguous 1-D or 2-D array");
    }
    if (pybind11::isinstance<pybind11::array_t<int16_t>>(a)) {
        encodeArray<int16_t>(encoder, a, out);
    } else if (pybind11::isinstance<pybind11::array_t<float>>(a)) {
        encodeArray<float>(encoder, a, out);
    } else if (pybind11::isinstance<pybind11::array_t<double>>(a)) {
        encodeArray<double>(encoder, a, out);
    } else {
        throw pybind11::type_error("samples must be int16, float32 or float64");
    }
}

// A streaming object used from several threads codes one call at a time.
class Encoder {
  public:
    explicit Encoder(long samplerate) : encoder_(samplerate) {}
    pybind11::bytes encode(const pybind11::array& a) {
        std::string out;
        {
            pybind11::gil_scoped_release unlocked;
            lock_.lock();
        }
        std::lock_guard<std::mutex> held(lock_, std::adopt_lock);
        encodeAnyArray(encoder_, a, out);
        return pybind11::bytes(out);
    }
    pybind11::bytes flush() {
        std::string out;
        {
            pybind11::gil_scoped_release unlocked;
            std::lock_guard<std::mutex> held(lock_);
            encoder_.flush(out);
        }
        return pybind11::bytes(out);
    }
    long samplerate() const { return encoder_.samplerate(); }
    bool flushed() const { return encoder_.flushed(); }

  private:
    std::mutex lock_;
    StreamEncoder encoder_;
};

pybind11::array_t<int16_t> decodeInto(StreamDecoder& decoder, std::mutex& lock,
                                      const pybind11::buffer& data) {
    const pybind11::buffer_info info = data.request();
    const auto* bytes = static_cast<const uint8_t*>(info.ptr);
    const size_t size = static_cast<size_t>(info.size * info.itemsize);
    std::unique_lock<std::mutex> held(lock, std::defer_lock);
    {
        pybind11::gil_scoped_release unlocked;
        held.lock();
    }
    pybind11::array_t<int16_t> out(static_cast<pybind11::ssize_t>(decoder.outputSamples(size)));
    int16_t* pcm = out.mutable_data();
    {
        pybind11::gil_scoped_release unlocked;
        decoder.decode(bytes, size, pcm);
    }
    return out;
}

class Decoder {
  public:
    pybind11::array_t<int16_t> decode(const pybind11::buffer& data) {
        return decodeInto(decoder_, lock_, data);
    }
    pybind11::array_t<int16_t> decodeLost() {
        pybind11::array_t<int16_t> out(FrameSamples);
        int16_t* pcm = out.mutable_data();
        {
            pybind11::gil_scoped_release unlocked;
            std::lock_guard<std::mutex> held(lock_);
            decoder_.decodeLost(pcm);
        }
        return out;
    }
    int pending() const { return decoder_.pendingBytes(); }

  private:
    std::mutex lock_;
    StreamDecoder decoder_;
};

pybind11::tuple resultTuple(const ConversionResult& r) {
    return pybind11::make_tuple(r.frames, r.badFrames, r.trailingBytes, r.seconds);
}

}  // namespace

PYBIND11_MODULE(_core, m) {
    m.doc() = "The 4800 bit/s speech codec for numpy arrays (internal; use the brimvox package).";
    m.attr("FRAME_BYTES") = FrameBytes;
    m.attr("FRAME_SAMPLES") = FrameSamples;
    m.attr("SAMPLERATE") = TargetRate;
    m.attr("MIN_SAMPLERATE") = MinInputRate;
    m.attr("MAX_SAMPLERATE") = MaxInputRate;

    pybind11::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const FileError& e) {
            // OSError(errno, text, path) fills errno and filename; a library error without a
            // system number becomes "path: text".
            const auto oserror = pybind11::reinterpret_borrow<pybind11::object>(PyExc_OSError);
            const pybind11::object error =
                e.err != 0 ? oserror(e.err, e.what(), e.path) : oserror(e.path + ": " + e.what());
            PyErr_SetObject(PyExc_OSError, error.ptr());
        }
    });

    pybind11::class_<Encoder>(m, "Encoder")
        .def(pybind11::init<long>(), pybind11::arg("samplerate"))
        .def("encode", &Encoder::encode, pybind11::arg("samples"))
        .def("flush", &Encoder::flush)
        .def_property_readonly("samplerate", &Encoder::samplerate)
        .def_property_readonly("flushed", &Encoder::flushed);

    pybind11::class_<Decoder>(m, "Decoder")
        .def(pybind11::init<>())
        .def("decode", &Decoder::decode, pybind11::arg("data"))
        .def("decode_lost", &Decoder::decodeLost)
        .def_property_readonly("pending", &Decoder::pending);

    m.def(
        "encode",
        [](const pybind11::array& a, long samplerate) {
            std::string out;
            {
                StreamEncoder encoder(samplerate);
                encodeAnyArray(encoder, a, out);
                pybind11::gil_scoped_release unlocked;
                encoder.flush(out);
            }
            return pybind11::bytes(out);
        },
        pybind11::arg("samples"), pybind11::arg("samplerate"));

    m.def(
        "decode",
        [](const pybind11::buffer& data) {
            StreamDecoder decoder;
            std::mutex lock;
            return decodeInto(decoder, lock, data);
        },
        pybind11::arg("data"));

    m.def(
        "count_bad_frames",
        [](const pybind11::buffer& data) {
            const pybind11::buffer_info info = data.request();
            const auto* bytes = static_cast<const uint8_t*>(info.ptr);
            const size_t size = static_cast<size_t>(info.size * info.itemsize);
            pybind11::gil_scoped_release unlocked;
            return countBadFrames(bytes, size);
        },
        pybind11::arg("data"));

    m.def(
        "container_name",
        [](const pybind11::bytes& head) {
            const std::string s = head;
            return containerName(reinterpret_cast<const uint8_t*>(s.data()), s.size());
        },
        pybind11::arg("head"));

    m.def(
        "encode_sound_file",
        [](const std::string& src, const std::string& dst) {
            ConversionResult r;
            {
                pybind11::gil_scoped_release unlocked;
                r = encodeSoundFile(src, dst);
            }
            return resultTuple(r);
        },
        pybind11::arg("src"), pybind11::arg("dst"));

    m.def(
        "decode_to_sound_file",
        [](const std::string& src, const std::string& dst, const std::string& type, bool force) {
            ConversionResult r;
            {
                pybind11::gil_scoped_release unlocked;
                r = decodeToSoundFile(src, dst, type, force);
            }
            return resultTuple(r);
        },
        pybind11::arg("src"), pybind11::arg("dst"), pybind11::arg("type"),
        pybind11::arg("force") = false);

    m.def("can_write", &canWrite, pybind11::arg("type"));
}
