// Capture of DNS traffic with tcpdump and its summary by dnstop.
#pragma once

#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "addresses.h"
#include "contain.h"
#include "os.h"

namespace quillet {

// Where and how long the capture works. The shipped binary always uses these
// values; tests point them at a scratch directory.
struct CaptureSetup {
  std::string work_dir = "/home/quillet/";
  std::string caminho_tcpdump = "/home/quillet/dump.pcap";
  std::string caminho_arquivo = "/home/quillet/dnstop_output.txt";
  // What the TCP reader writes: the queries each client sent over TCP.
  std::string caminho_tcp = "/home/quillet/tcp_output.txt";
  // The TCP reader, contained as dnstop is; none (tests only) leaves TCP out.
  std::string tcp_reader = "quillet-tcp";
  std::string interface = "ens18";
  int window_seconds = 5;
  // How dnstop is contained.
  Containment contain;
  // The sources whose queries are the host's own, read after the capture.
  HostAddresses own_addresses = interface_addresses;
};

// `word` as the shell reads it back unchanged: as it is when it holds only
// characters the shell takes literally, otherwise in single quotes.
std::string shell_word(const std::string& word);

// "timeout 5 tcpdump --immediate-mode -s 512 -i <interface> -w <capture file> port 53":
// every packet is written as it arrives, so the last second of the window
// counts. In that mode each packet takes a slot of the kernel's ring sized for
// the snapshot length; at the default (up to 256 KiB) the 2 MiB ring holds a
// few dozen packets and a burst of queries is dropped. 512 bytes hold the
// headers and the question of any query, which is all dnstop reads. On "any"
// tcpdump writes Linux cooked headers v2, which dnstop refuses; "-y LINUX_SLL"
// after the interface asks for v1, which it reads.
std::string tcpdump_command(const CaptureSetup& setup);
// "dnstop -l 4 [-i <own address>]... <capture file> > <report file>": what
// the console calls the summary. dnstop itself starts without a shell,
// contained, as this command. "-i" leaves a source out of every table and
// every percentage.
std::string dnstop_command(const CaptureSetup& setup, const std::vector<std::string>& own);
// "dnstop -l 4 [-i <own address>]... /dev/stdin", fed the capture file, its
// output the report file.
ContainedCommand dnstop_contained(const CaptureSetup& setup, const std::vector<std::string>& own);

// "quillet-tcp [-i <own address>]... < <capture file> > <TCP file>": the TCP
// reader as the console names it, and as it is run.
std::string tcp_reader_command(const CaptureSetup& setup, const std::vector<std::string>& own);
ContainedCommand tcp_reader_contained(const CaptureSetup& setup,
                                      const std::vector<std::string>& own);

// Clears the working files, captures `setup.window_seconds` of traffic on
// `setup.interface` through `runner` and has dnstop, run by `contained`, write
// the report, then the TCP reader, run the same way, its counts. When the report is at
// `setup.caminho_arquivo`, returns the moment, by `clock`, that the tcpdump command line ended: the
// end of the window the report counts. Nothing after printing the "[ERRO] " line of a handled
// failure (a dnstop or reader that could not be contained is one). Any other failure raises
// Failure.
std::optional<std::chrono::system_clock::time_point> capturar_dnstop(const CaptureSetup& setup,
                                                                     std::ostream& out,
                                                                     CommandRunner& runner,
                                                                     ContainedRunner& contained,
                                                                     const WallClock& clock);

}  // namespace quillet
