// gzip through ISA-L's streaming inflate (about twice zlib's speed): members one after another
// read as one text, NUL bytes between or after them skipped (as gzip and Python's gzip module
// do). The same text and the same faults as the zlib decoder (gzip_decoder.cpp).
#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <cstdint>
#include <memory>

#include "decoders.h"

namespace kelvra {

namespace {

constexpr std::string_view kFormat = "gzip";

// ISA-L's faults in the words zlib uses for them.
const char* fault_name(int status) {
    switch (status) {
        case ISAL_INVALID_BLOCK:
            return "invalid block type or lengths";
        case ISAL_INVALID_SYMBOL:
            return "invalid code";
        case ISAL_INVALID_LOOKBACK:
            return "invalid distance too far back";
        case ISAL_INVALID_WRAPPER:
            return "incorrect header check";
        case ISAL_UNSUPPORTED_METHOD:
            return "unknown compression method";
        case ISAL_INCORRECT_CHECKSUM:
            return "incorrect data check (or length check)";
        default:
            return "invalid data";
    }
}

class IsalGzipDecoder final : public Decoder {
public:
    explicit IsalGzipDecoder(InputFile& file)
        : Decoder(file.stored_size(), kDeflateLongestGrowth),
          input_(file),
          state_(std::make_unique<inflate_state>()),
          declared_(gzip_declared_size(file)) {
        isal_inflate_init(state_.get());
        state_->crc_flag = ISAL_GZIP;
    }

protected:
    std::size_t decode(char* out, std::size_t n) override {
        inflate_state& state = *state_;
        std::size_t produced = 0;
        while (produced < n && !finished_) {
            if (state.avail_in == 0 && !input_.ended()) next_block();
            if (!in_member_ && !start_member()) break;
            const std::size_t chunk = std::min<std::size_t>(n - produced, UINT32_MAX);
            state.next_out = reinterpret_cast<std::uint8_t*>(out + produced);
            state.avail_out = static_cast<std::uint32_t>(chunk);
            const int status = isal_inflate(&state);
            const std::size_t got = chunk - state.avail_out;
            produced += got;
            if (status < 0 || status == ISAL_NEED_DICT) {
                throw_corrupt(input_.file(), kFormat, input_.offset_of(state.next_in),
                              fault_name(status));
            }
            if (state.block_state == ISAL_BLOCK_FINISH) {
                in_member_ = false;
            } else if (got == 0 && state.avail_in == 0 && input_.ended()) {
                throw_truncated(input_.file(), kFormat, input_.offset_of(state.next_in));
            }
        }
        return produced;
    }

    std::size_t consumed() const override {
        return state_->next_in == nullptr ? 0 : input_.offset_of(state_->next_in);
    }

    std::size_t declared_size() const override { return declared_; }

private:
    void next_block() { refill_into(input_, state_->next_in, state_->avail_in); }

    // After a member: opens the next member, or ends the text at the end of the file. False
    // when the text has ended.
    bool start_member() {
        inflate_state& state = *state_;
        if (!skip_gzip_padding(input_, state.next_in, state.avail_in)) {
            finished_ = true;
            return false;
        }
        // The reset clears the input too: it is put back.
        const std::uint8_t* next = state.next_in;
        const std::uint32_t left = state.avail_in;
        isal_inflate_reset(&state);
        state.crc_flag = ISAL_GZIP;
        state.next_in = const_cast<std::uint8_t*>(next);
        state.avail_in = left;
        in_member_ = true;
        return true;
    }

    StoredInput input_;
    // Large (tens of kilobytes): kept on the heap.
    std::unique_ptr<inflate_state> state_;
    bool in_member_ = true;
    bool finished_ = false;
    std::size_t declared_;
};

}  // namespace

std::unique_ptr<Decoder> make_gzip_decoder(InputFile& file) {
    return std::make_unique<IsalGzipDecoder>(file);
}

}  // namespace kelvra
