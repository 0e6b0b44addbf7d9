#include "tools/zorbel-pack/SameBuild.h"

#include <algorithm>

#include "package/PeLayout.h"

namespace zorbel::pack {

SameBuild compareWithBuild(std::span<const std::uint8_t> program, std::size_t blockAt,
                           std::optional<std::size_t> storeAt,
                           std::span<const std::uint8_t> unfilled) {
    SameBuild result;
    result.leftOut = packagingParts(program, blockAt, storeAt);
    result.unfilledSize = unfilled.size();
    result.programBody = program.size();
    bool signedProgram = false;
    for (const FilePart& part : result.leftOut) {
        if (part.name == "signature") {
            result.programBody = part.offset;
            signedProgram = true;
        }
    }
    // Signing pads the file with zeros to the certificate table's alignment.
    if (signedProgram && result.programBody > unfilled.size() &&
        result.programBody - unfilled.size() < pe::CertificateAlignment &&
        std::all_of(program.begin() + static_cast<std::ptrdiff_t>(unfilled.size()),
                    program.begin() + static_cast<std::ptrdiff_t>(result.programBody),
                    [](std::uint8_t b) { return b == 0; })) {
        result.signingPadding = result.programBody - unfilled.size();
        result.programBody = unfilled.size();
    }
    const std::size_t end = std::min(result.programBody, unfilled.size());
    std::size_t at = 0;
    auto part = result.leftOut.begin();
    while (at < end) {
        while (part != result.leftOut.end() && part->offset + part->size <= at) {
            ++part;
        }
        if (part != result.leftOut.end() && part->offset <= at) {
            at = part->offset + part->size;
            continue;
        }
        const std::size_t stop = part == result.leftOut.end() ? end : std::min(end, part->offset);
        for (; at < stop; ++at) {
            if (program[at] != unfilled[at]) {
                ++result.differingBytes;
                if (!result.firstDifference) {
                    result.firstDifference = at;
                }
            }
        }
    }
    return result;
}

namespace {

std::string partList(const SameBuild& result) {
    std::string list;
    for (std::size_t i = 0; i < result.leftOut.size(); ++i) {
        const FilePart& part = result.leftOut[i];
        list += (i == 0                           ? ""
                 : i + 1 == result.leftOut.size() ? " and "
                                                  : ", ") +
                std::string(part.name) + " (" + std::to_string(part.size) + " bytes at " +
                std::to_string(part.offset) + ")";
    }
    return list;
}

}  // namespace

std::string sameBuildText(const std::string& program, const std::string& unfilled,
                          const SameBuild& result) {
    if (result.same()) {
        return "zorbel-pack: " + program + " is the build " + unfilled +
               " with a package: every byte the same outside its " + partList(result);
    }
    std::string line = "zorbel-pack: " + program + " is not the build " + unfilled + ": ";
    if (result.programBody != result.unfilledSize) {
        line += program + " holds " + std::to_string(result.programBody) + " bytes" +
                (result.leftOut.back().name == "signature" ? " before its signature" : "") + ", " +
                unfilled + " " + std::to_string(result.unfilledSize);
        if (result.differingBytes != 0) {
            line += "; ";
        }
    }
    if (result.differingBytes != 0) {
        line += std::to_string(result.differingBytes) +
                (result.differingBytes == 1 ? " byte differs" : " bytes differ") + " outside its " +
                partList(result) + ", the first at file offset " +
                std::to_string(*result.firstDifference);
    }
    return line;
}

nlohmann::ordered_json sameBuildJson(const std::string& program, const std::string& unfilled,
                                     const SameBuild& result) {
    nlohmann::ordered_json doc;
    doc["schema"] = "zorbel-pack-same-build";
    doc["version"] = 1;
    doc["program"] = program;
    doc["unfilled"] = unfilled;
    doc["same"] = result.same();
    doc["left_out"] = nlohmann::ordered_json::array();
    for (const FilePart& part : result.leftOut) {
        doc["left_out"].push_back(
            {{"part", std::string(part.name)}, {"offset", part.offset}, {"size", part.size}});
    }
    doc["signing_padding"] = result.signingPadding;
    doc["program_bytes_compared"] = result.programBody;
    doc["unfilled_bytes"] = result.unfilledSize;
    doc["differing_bytes"] = result.differingBytes;
    doc["first_difference"] = result.firstDifference
                                  ? nlohmann::ordered_json(*result.firstDifference)
                                  : nlohmann::ordered_json(nullptr);
    return doc;
}

}  // namespace zorbel::pack
