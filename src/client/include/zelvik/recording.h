// SPDX-License-Identifier: Apache-2.0
// Recording a printer: a helper started with ZELVIK_RECORD in its
// environment writes what it learns of each printer it touches (the device
// ID and serial-number string as the bytes the printer sent, interface 0's
// endpoints, and for each question the bytes that answered it) as printer
// descriptions of a bus file. A Recording is a private place for that file,
// and hands on one recorded printer as a bus file of its own, which
// zelvik-sim and Helper::simulated replay:
//
//   zelvik::client::Recording recording;
//   const auto helper = recording.recordingHelper(zelvik::client::Helper::installed());
//   zelvik::client::listPrinters(helper);
//   zelvik::client::sendPJL(helper, uri, zelvik::client::pjlRequest({"INFO STATUS"}), std::chrono::seconds(10));
//   auto printer = recording.printer(uri, true);   // printer->busFile
#pragma once

#include <memory>
#include <string>
#include <zelvik/client.h>

namespace zelvik::client {

struct RecordedPrinter {
    std::string busFile;    // a bus file that holds this one printer
    std::string deviceURI;  // the URI it replays under
};

class Recording {
public:
    // A directory only this user can enter, under $XDG_RUNTIME_DIR, else
    // the temporary directory; removed, with what the helpers wrote into
    // it, when the recording goes.
    Recording();
    ~Recording();
    Recording(const Recording&) = delete;
    Recording& operator=(const Recording&) = delete;

    // False when the directory could not be made: nothing can be recorded.
    bool made() const;

    // `helper`, recording what it learns here (itself without a directory).
    Helper recordingHelper(Helper helper) const;

    // The recorded printer that `deviceURI` names, as a bus file of its own.
    // Anonymized, its serial number (and the device ID's SN and SERN
    // values) is replaced wherever it stands (the string descriptor, the
    // device ID, requests and answers; in free text only when it is at
    // least 4 characters long) by a stand-in of as many characters, the
    // same for every recording: the printer then replays under a URI with
    // the stand-in. Fails with resultMissing when nothing was recorded (a
    // helper that cannot record) or no recorded printer has that URI.
    Result<RecordedPrinter> printer(const std::string& deviceURI, bool anonymize) const;

private:
    struct Place;
    std::unique_ptr<Place> mPlace;
};

}  // namespace zelvik::client
