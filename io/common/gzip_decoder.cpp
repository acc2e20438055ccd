// gzip through zlib's streaming inflate: members one after another read as one text, NUL bytes
// between or after them skipped (as gzip and Python's gzip module do).
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <new>

#include "decoders.h"

namespace kelvra {

namespace {

constexpr std::string_view kFormat = "gzip";

class GzipDecoder final : public Decoder {
public:
    explicit GzipDecoder(InputFile& file)
        : Decoder(file.stored_size(), kDeflateLongestGrowth), input_(file) {
        // 15 window bits, plus 16: a gzip header and trailer around the deflate data.
        const int status = inflateInit2(&stream_, 15 + 16);
        if (status != Z_OK) throw std::bad_alloc();
        declared_ = gzip_declared_size(file);
    }
    GzipDecoder(const GzipDecoder&) = delete;
    GzipDecoder& operator=(const GzipDecoder&) = delete;
    ~GzipDecoder() override { inflateEnd(&stream_); }

protected:
    std::size_t decode(char* out, std::size_t n) override {
        std::size_t produced = 0;
        while (produced < n && !finished_) {
            if (stream_.avail_in == 0 && !input_.ended()) next_block();
            if (!in_member_ && !start_member()) break;
            const std::size_t chunk = std::min<std::size_t>(n - produced, UINT_MAX);
            stream_.next_out = reinterpret_cast<Bytef*>(out + produced);
            stream_.avail_out = static_cast<uInt>(chunk);
            const int status = inflate(&stream_, Z_NO_FLUSH);
            produced += chunk - stream_.avail_out;
            if (status == Z_STREAM_END) {
                in_member_ = false;
            } else if (status == Z_BUF_ERROR) {
                // No progress: it needs more stored bytes, and at the end there are none.
                if (stream_.avail_in == 0 && input_.ended()) {
                    throw_truncated(input_.file(), kFormat, input_.offset_of(stream_.next_in));
                }
            } else if (status == Z_MEM_ERROR) {
                throw std::bad_alloc();
            } else if (status != Z_OK) {
                throw_corrupt(input_.file(), kFormat, input_.offset_of(stream_.next_in),
                              stream_.msg != nullptr ? stream_.msg : "invalid data");
            }
        }
        return produced;
    }

    std::size_t consumed() const override {
        return stream_.next_in == nullptr ? 0 : input_.offset_of(stream_.next_in);
    }

    std::size_t declared_size() const override { return declared_; }

private:
    void next_block() { refill_into(input_, stream_.next_in, stream_.avail_in); }

    // After a member: opens the next member, or ends the text at the end of the file. False
    // when the text has ended.
    bool start_member() {
        if (!skip_gzip_padding(input_, stream_.next_in, stream_.avail_in)) {
            finished_ = true;
            return false;
        }
        inflateReset(&stream_);
        in_member_ = true;
        return true;
    }

    StoredInput input_;
    z_stream stream_{};
    bool in_member_ = true;
    bool finished_ = false;
    std::size_t declared_ = 0;
};

}  // namespace

std::unique_ptr<Decoder> make_gzip_decoder(InputFile& file) {
    return std::make_unique<GzipDecoder>(file);
}

}  // namespace kelvra
