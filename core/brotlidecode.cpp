#include "core/brotlidecode.h"

#include <brotli/decode.h>

#include <cstdint>
#include <memory>
#include <stdexcept>

namespace Core {
namespace {

struct DecoderDeleter {
    void operator()(BrotliDecoderState* state) const { BrotliDecoderDestroyInstance(state); }
};

// Output grows by this much whenever the decoder asks for more room.
constexpr std::size_t kOutputStep = 1 << 16;

} // namespace

std::string brotliDecode(std::string_view bytes)
{
    std::unique_ptr<BrotliDecoderState, DecoderDeleter> decoder(
        BrotliDecoderCreateInstance(nullptr, nullptr, nullptr));
    if (!decoder)
        throw std::runtime_error("brotli: cannot create a decoder");

    std::string output;
    std::size_t availableIn = bytes.size();
    auto const* nextIn = reinterpret_cast<std::uint8_t const*>(bytes.data());
    std::size_t written = 0;
    for (;;) {
        output.resize(written + kOutputStep);
        std::size_t availableOut = kOutputStep;
        auto* nextOut = reinterpret_cast<std::uint8_t*>(output.data() + written);
        BrotliDecoderResult const result =
            BrotliDecoderDecompressStream(decoder.get(), &availableIn, &nextIn, &availableOut, &nextOut, nullptr);
        written += kOutputStep - availableOut;
        switch (result) {
        case BROTLI_DECODER_RESULT_SUCCESS:
            output.resize(written);
            return output;
        case BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT:
            continue;
        case BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT:
            throw std::runtime_error("brotli: the compressed stream ends before it is complete");
        default:
            throw std::runtime_error(std::string("brotli: corrupt compressed stream (") +
                                     BrotliDecoderErrorString(BrotliDecoderGetErrorCode(decoder.get())) + ")");
        }
    }
}

} // namespace Core
