// Capture of DNS traffic with tcpdump and its summary by dnstop and the TCP
// reader.
#pragma once

#include <chrono>
#include <cstdint>
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
  // The UDP capture, which dnstop summarises.
  std::string caminho_tcpdump = "/home/quillet/dump.pcap";
  std::string caminho_arquivo = "/home/quillet/dnstop_output.txt";
  // The TCP capture, whole segments and their fragments, and what the TCP
  // reader writes: the queries each client sent over TCP.
  std::string caminho_tcp_capture = "/home/quillet/tcp_dump.pcap";
  std::string caminho_tcp = "/home/quillet/tcp_output.txt";
  // The TCP reader, contained as dnstop is; none (tests only) leaves TCP out,
  // and its capture with it.
  std::string tcp_reader = "quillet-tcp";
  // The reader also tallies the tables of what the clients asked and how the
  // server answered, for the rows of dnstop's report among others.
  bool tables = false;
  std::string interface = "ens18";
  int window_seconds = 5;
  // Each capture's kernel buffer, in KiB (tcpdump's -B). In immediate mode
  // every packet takes a slot sized for the snapshot length: 64 MiB hold about
  // 110,000 UDP packets of 512 bytes, a third of a second of a flood at 300,000
  // queries a second; 32 MiB hold 500 TCP segments of 64 KiB.
  int udp_buffer_kib = 65536;
  int tcp_buffer_kib = 32768;
  // How dnstop and the reader are contained.
  Containment contain;
  // The sources whose queries are the host's own, read before and after the
  // window: an address moved away during it is the host's all the same.
  HostAddresses own_addresses = interface_addresses;
};

// `word` as the shell reads it back unchanged: as it is when it holds only
// characters the shell takes literally, otherwise in single quotes.
std::string shell_word(const std::string& word);
// `words` as one shell command line.
std::string shell_line(const std::vector<std::string>& words);

// The UDP capture's words: "timeout 5 tcpdump --immediate-mode -B 65536 -s 512
// -i <interface> -w <capture file> udp port 53". Every packet is written as it
// arrives, so the last second of the window counts. 512 bytes hold the headers
// and the question of any query, which is all dnstop reads, and keep the ring's
// slots small. On "any" tcpdump writes Linux cooked headers v2, which dnstop
// refuses; "-y LINUX_SLL" after the interface asks for v1, which it reads.
std::vector<std::string> udp_capture_words(const CaptureSetup& setup);
// The TCP capture's: the same at "-s 65535" (a segment that receive offload
// joined is up to 64 KiB long) and with its own buffer, of TCP to or from port
// 53 and of every fragment of a TCP segment (only the first one carries ports).
std::vector<std::string> tcp_capture_words(const CaptureSetup& setup);
// Both as the console shows them, joined by " & ": they run at the same time.
std::string tcpdump_command(const CaptureSetup& setup);

// "dnstop -l 2 -X -B 1048573 [-i <own address>]... /dev/stdin", fed the capture
// file, its output the report file. "-i" leaves a source out of every table
// and every percentage. Two levels of names, no table of sources by name and a
// hash table sized for a million names keep its work in step with the capture
// whatever names a flood asks for; the Sources table is the same at any level.
ContainedCommand dnstop_contained(const CaptureSetup& setup, const std::vector<std::string>& own);
// "quillet-tcp [-i <own address>]...", fed the TCP capture and, on its
// descriptor 3, the UDP one; its output the TCP file. With the tables, "-t"
// and "-c <address>" for each of `rows`, the sources of dnstop's report.
ContainedCommand tcp_reader_contained(const CaptureSetup& setup,
                                      const std::vector<std::string>& own,
                                      const std::vector<std::string>& rows = {});
// What the console calls a contained command: "<program> <args> < <input>
// [3< <input>]... > <output>".
std::string contained_text(const ContainedCommand& command);

// Packets a capture lost, as tcpdump reports them when it ends.
struct CaptureLoss {
  std::int64_t kernel = 0;     // dropped by the kernel: its buffer was full
  std::int64_t interface = 0;  // dropped by the interface, where it says
  std::int64_t total() const { return kernel + interface; }
  bool operator==(const CaptureLoss&) const = default;
};

// The counts in what tcpdump wrote on its standard error at its end
// ("N packets dropped by kernel", "N packets dropped by interface"), or
// nothing when it wrote no count of drops by the kernel.
std::optional<CaptureLoss> capture_loss(const std::string& tcpdump_errors);

// What a capture came to.
struct Capture {
  // The moment, by the run's clock, that the captures ended: the end of the
  // window the report counts.
  std::chrono::system_clock::time_point window_end;
  // What the captures lost (the kernel's drops of both, the interface's
  // once); nothing when a tcpdump did not say.
  std::optional<CaptureLoss> loss;
  // The TCP reader failed: the run has UDP alone, and the line said so.
  bool tcp_failed = false;
};

// Clears the working files, captures `setup.window_seconds` of traffic on
// `setup.interface` through `runner` (UDP and TCP at the same time) and has
// dnstop, run by `contained`, write the report, then the TCP reader, run the
// same way, its counts. The captures' losses are said in an "[AVISO] " line.
// When the report is at `setup.caminho_arquivo`, returns what the capture came
// to, also when the reader failed (after its "[ERRO] " line); nothing after
// printing the "[ERRO] " line of a handled failure (a dnstop that could not be
// contained is one). Any other failure raises Failure.
std::optional<Capture> capturar_dnstop(const CaptureSetup& setup, std::ostream& out,
                                       CommandRunner& runner, ContainedRunner& contained,
                                       const WallClock& clock);

}  // namespace quillet
