// SPDX-License-Identifier: Apache-2.0
// A recording of printers: what a run of the helper learned of each
// printer it touched, kept as printer descriptions in a bus file, so that
// zelvik-sim and the emulated kernel replay the printer as it answered.
//
// What is kept of a printer: its vendor, product and location IDs, its
// device ID reply and serial-number string descriptor as the bytes it sent,
// the settings of interface 0 the helper read (their endpoints; class,
// subclass and protocol are not read, and are written as a bidirectional
// printer's), what it had to say before anything was written, whether an
// idle read waits instead of ending at once, and for each query the
// request lines it received, with the bytes that answered them and how
// soon. Print data is never kept: a write that no read follows is a print
// job, noted by its size only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/Bytes.h"
#include "usb/sim/PrinterDescription.h"

namespace zelvik::record {

// What one run learned of one printer.
struct PrinterRecord {
    std::uint16_t vendorID = 0;
    std::uint16_t productID = 0;
    std::uint32_t locationID = 0;
    std::optional<Bytes> deviceIDReply;     // none: the request failed
    std::optional<Bytes> serialDescriptor;  // none: not read
    // Interface 0's settings, when the helper claimed it and read them all.
    std::optional<std::vector<sim::InterfaceDescription>> interfaces;
    Bytes pendingAnswer;  // read before anything was written
    bool idleReadWaits = false;
    std::vector<sim::Reply> replies;
    std::vector<std::string> notes;
};

// The replies that make a printer answer a query as it did: `lines` are the
// request lines it received, `answer` the bytes that came back and
// `delayMs` how soon they could be read. A request with one PJL command
// gets the whole answer; with several, each block of the answer (up to its
// form feed) goes to the command it echoes, a block that echoes none with
// the next one that does. A PJL command that got nothing is silent, so
// that no built-in answer stands in for the printer's own silence.
std::vector<sim::Reply> repliesOf(const std::vector<std::string>& lines, const Bytes& answer, std::uint32_t delayMs);

// Adds a reply to replies matched by request key: an answer replaces the
// earlier reply to that request; silence replaces only silence.
void addReply(std::vector<sim::Reply>& replies, sim::Reply reply);

// Merges what a run learned into the printers of a recording: into the
// printer of the same vendor and product ID and serial-number descriptor
// (and location, without one), or as a new printer at the end.
void merge(std::vector<sim::VirtualPrinterConfig>& printers, const PrinterRecord& record);

// Merges the records into the recording at `path` and writes it whole (a
// temporary file renamed over it, with the mode of the file it replaces),
// so that a reader sees either recording, never a part. The path must name
// a regular file or nothing yet (it is then created, mode 0600): a link, a
// FIFO or anything else is never written, nor a file that is not a bus
// file, which is left as it is. Runs recording into one file side by side
// take turns. False when nothing was saved; the trace says why.
bool save(const std::string& path, const std::vector<PrinterRecord>& records);

}  // namespace zelvik::record
