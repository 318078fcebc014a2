// SPDX-License-Identifier: Apache-2.0
// Both XML readers on arbitrary bytes, and the writer's round trip: what the
// reader gives, written and read again, gives the same tree, and writing
// that again gives the same bytes.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "xml/KxXmlDataConverter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const zelvik::KxXmlDataConverter converter;
    const zelvik::Bytes input(data, data + size);

    // The CF reader takes a path: the same bytes through a file.
    static const std::string path = [] {
        const char* dir = std::getenv("TMPDIR");
        return std::string(dir != nullptr ? dir : "/tmp") + "/zelvik-xml-fuzz-" + std::to_string(::getpid());
    }();
    if (std::FILE* file = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, file);
        std::fclose(file);
        (void)converter.copyXMLDataToDictionaryCF(path);
    }

    const std::optional<zelvik::Dictionary> tree = converter.copyXMLDataToDictionaryNS(input);
    if (!tree || tree->size() != 1) return 0;
    const zelvik::Value& body = tree->valueAt(0);
    const zelvik::Dictionary* dictionary = body.asDictionary();
    if (dictionary == nullptr) return 0;
    const std::optional<zelvik::Bytes> written = converter.copyDictionaryToXmlDataNS(*dictionary, tree->nameAt(0));
    if (!written) return 0;
    const std::optional<zelvik::Dictionary> again = converter.copyXMLDataToDictionaryNS(*written);
    if (!again) std::abort();  // the writer wrote what the reader refuses
    const zelvik::Dictionary* againBody = again->size() == 1 ? again->valueAt(0).asDictionary() : nullptr;
    if (againBody == nullptr) std::abort();
    const std::optional<zelvik::Bytes> rewritten = converter.copyDictionaryToXmlDataNS(*againBody, again->nameAt(0));
    if (!rewritten || *rewritten != *written) std::abort();
    return 0;
}
