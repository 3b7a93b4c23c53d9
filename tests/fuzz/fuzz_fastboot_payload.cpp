// SPDX-License-Identifier: GPL-2.0-or-later
// The fastboot flash request's payload: parsing and refusal, then the plan of steps.
// Whatever the payload, an accepted one names at least one image group, and every
// image path of the plan lies under the flash path without "..", NUL or control
// characters; the percentages rise and never pass 99.
#include <algorithm>

#include "fastboot_payload.h"
#include "fuzz_support.h"

using quil_fuzz::require;

namespace {

bool clean(std::string_view text) {
    return text.find("..") == std::string_view::npos &&
           std::none_of(text.begin(), text.end(), [](char c) {
               auto byte = static_cast<unsigned char>(c);
               return byte < 0x20 || byte == 0x7f;
           });
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    quil_fuzz::init_process();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    std::string_view payload = quil_fuzz::bytes_text(data, size);
    payload_analysis analysis;
    PayloadVerdict verdict = quil_program_payload_analysis(payload, analysis);
    require(quil_payload_verdict_text(verdict)[0] != '?', "every verdict has a text");
    if (verdict != PayloadVerdict::ok)
        return 0;

    require(payload.size() <= FASTBOOT_PAYLOAD_MAX, "an accepted payload has at most 511 bytes");
    const std::string &root = analysis.flashpath;
    require(!root.empty() && root.front() == '/' && root.back() == '/' && clean(root),
            "the flash path is an absolute directory without \"..\"");
    std::vector<FastbootStep> steps = quil_fastboot_plan_steps(analysis);
    require(!steps.empty(), "an accepted payload plans at least one step");
    int last = 0;
    for (const FastbootStep &step : steps) {
        require(step.image_path.compare(0, root.size(), root) == 0,
                "every image lies under the flash path");
        require(clean(step.image_path), "no image path holds \"..\" or a control character");
        require(step.percentage > last && step.percentage <= 99,
                "percentages rise and stay at most 99");
        last = step.percentage;
    }
    return 0;
}
