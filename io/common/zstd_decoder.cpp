// Zstandard through libzstd's streaming decompression: frames one after another (skippable
// frames among them) read as one text.
#include "decoders.h"

#ifdef KELVRA_WITH_ZSTD

#include <zstd.h>

#include <algorithm>
#include <memory>
#include <new>

namespace kelvra {

namespace {

constexpr std::string_view kFormat = "Zstandard";
// The stored bytes handed to the decoder at a time. It reports a fault without moving past the
// bytes it was given in that call, so the offset of a fault is that of its slice.
constexpr std::size_t kSlice = 4096;
// The longest window Zstandard allows (2 GiB; 1 GiB on 32-bit machines).
constexpr int kLongestWindowLog = sizeof(void*) == 4 ? 30 : 31;

class ZstdDecoder final : public Decoder {
public:
    explicit ZstdDecoder(InputFile& file)
        : Decoder(file.stored_size(), kZstdLongestGrowth),
          input_(file),
          stream_(ZSTD_createDStream(), ZSTD_freeDStream) {
        if (stream_ == nullptr) throw std::bad_alloc();
        // Frames made with a long window (zstd --long) read too: the window is only as large as
        // the frame asks for.
        ZSTD_DCtx_setParameter(stream_.get(), ZSTD_d_windowLogMax, kLongestWindowLog);
        // The first block holds the first frame's header, which may record the text's size.
        input_.refill();
        in_ = ZSTD_inBuffer{input_.data(), input_.size(), 0};
        const unsigned long long size = ZSTD_getFrameContentSize(input_.data(), input_.size());
        if (size != ZSTD_CONTENTSIZE_UNKNOWN && size != ZSTD_CONTENTSIZE_ERROR) {
            declared_ = static_cast<std::size_t>(size);
        }
    }

protected:
    std::size_t decode(char* out, std::size_t n) override {
        ZSTD_outBuffer output{out, n, 0};
        while (output.pos < output.size) {
            if (in_.pos == in_.size && !input_.ended()) {
                input_.refill();
                in_ = ZSTD_inBuffer{input_.data(), input_.size(), 0};
            }
            const bool at_end = in_.pos == in_.size && input_.ended();
            // Between frames at the end of the file: the text is complete.
            if (at_end && frame_done_) break;
            const std::size_t before = output.pos;
            ZSTD_inBuffer slice{in_.src, std::min(in_.size, in_.pos + kSlice), in_.pos};
            const std::size_t status = ZSTD_decompressStream(stream_.get(), &output, &slice);
            in_.pos = slice.pos;
            if (ZSTD_isError(status)) {
                throw_corrupt(input_.file(), kFormat, input_.offset_of(at()),
                              ZSTD_getErrorName(status));
            }
            frame_done_ = status == 0;
            if (at_end && !frame_done_ && output.pos == before) {
                throw_truncated(input_.file(), kFormat, input_.offset_of(at()));
            }
        }
        return output.pos;
    }

    std::size_t consumed() const override { return input_.offset_of(at()); }
    std::size_t declared_size() const override { return declared_; }

private:
    const unsigned char* at() const { return static_cast<const unsigned char*>(in_.src) + in_.pos; }

    StoredInput input_;
    std::unique_ptr<ZSTD_DStream, decltype(&ZSTD_freeDStream)> stream_;
    ZSTD_inBuffer in_{};
    bool frame_done_ = false;
    std::size_t declared_ = 0;
};

}  // namespace

std::unique_ptr<Decoder> make_zstd_decoder(InputFile& file) {
    return std::make_unique<ZstdDecoder>(file);
}

}  // namespace kelvra

#else

namespace kelvra {

std::unique_ptr<Decoder> make_zstd_decoder(InputFile&) { return nullptr; }

}  // namespace kelvra

#endif
