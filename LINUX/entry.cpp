#include "entry.h"

#include <cxxabi.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <new>
#include <ostream>
#include <typeinfo>

#include "collect.h"
#include "config.h"
#include "failure.h"
#include "os.h"
#include "quillet.h"

extern char** environ;

namespace quillet {

namespace {

constexpr std::string_view kCommandLineStep = "leitura da linha de comando";
constexpr std::string_view kLaunchMarker = "launch_";

// Takes the command line into the settings. With exactly one argument only
// `mode` is set; otherwise mode, caminho and zabbix_server are read from the
// first three arguments and zabbix_host from the last, and the first read that
// finds no argument ends the run.
void read_settings(const std::vector<std::string>& command_line, Settings& settings) {
  const std::size_t n = command_line.size();
  auto argument = [&](std::size_t i, const char* which) -> const std::string& {
    if (i >= n) {
      throw Failure("argumento ausente", std::string(kCommandLineStep),
                    std::string(which) + " não foi passado");
    }
    return command_line[i];
  };
  if (n == 2) {
    settings.mode = command_line[1];
    return;
  }
  settings.mode = argument(1, "o primeiro argumento (modo de execução)");
  settings.caminho = argument(2, "o segundo argumento (caminho)");
  settings.zabbix_server = argument(3, "o terceiro argumento (servidor Zabbix)");
  settings.zabbix_host = command_line[n - 1];
}

std::string type_name(const std::exception& e) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> name(
      abi::__cxa_demangle(typeid(e).name(), nullptr, nullptr, &status), std::free);
  return status == 0 && name ? name.get() : typeid(e).name();
}

// Flushes both streams at the end of a run. A run that would end with status 0
// but could not write its output ends with status 2 instead.
int finish(Context& ctx, int status) {
  ctx.out.flush();
  bool out_ok = !ctx.out.fail();
  ctx.err.flush();
  bool err_ok = !ctx.err.fail();
  if (status != 0 || (out_ok && err_ok)) return status;
  std::string what = out_ok ? "a saída de erros" : "a saída padrão";
  const auto* fd_buf = dynamic_cast<const FdStreamBuf*>((out_ok ? ctx.err : ctx.out).rdbuf());
  std::string cause =
      fd_buf && fd_buf->error() != 0 ? std::string(": ") + std::strerror(fd_buf->error()) : "";
  ctx.err.clear();
  ctx.err << "quillet: não foi possível gravar " << what << " no fim da execução" << cause << '\n';
  ctx.err.flush();
  return 2;
}

}  // namespace

int run(Context& ctx, const Modes& modes) {
  std::string step(kCommandLineStep);
  try {
    read_settings(ctx.command_line, ctx.settings);
    const std::string& mode = *ctx.settings.mode;
    int status = 0;
    if (mode == "coletarDns") {
      step = "despacho do modo coletarDns";
      if (!ctx.settings.caminho) {
        throw Failure("configuração não definida", step,
                      "a configuração caminho não está definida: coletarDns precisa do caminho, "
                      "do servidor Zabbix e do host");
      }
      step = "modo coletarDns";
      status = modes.coletarDns(*ctx.settings.caminho, ctx);
    } else if (mode.find(kLaunchMarker) != std::string::npos) {
      step = "modo launch";
      status = modes.launch(mode, ctx);
    } else {
      // "ecnontrado" is the program's own spelling of the line: kept on purpose.
      println(ctx.out, "Modo de execução não ecnontrado.");
      status = 1;
    }
    return finish(ctx, status);
  } catch (const Failure& failure) {
    failure.report(ctx.err);
  } catch (const std::bad_alloc& e) {
    report_failure(ctx.err, "falta de memória", step, e.what());
  } catch (const std::exception& e) {
    report_failure(ctx.err, type_name(e), step, e.what());
  } catch (...) {
    report_failure(ctx.err, "exceção desconhecida", step, "sem descrição");
  }
  return 1;
}

std::vector<std::string> launch_command_line(const std::string& mode,
                                             const std::vector<std::string>& command_line) {
  std::vector<std::string> words;
  words.push_back(command_line.at(0));
  words.push_back(mode.substr(mode.rfind(kLaunchMarker) + kLaunchMarker.size()));
  for (std::size_t i = 2; i < command_line.size(); ++i)
    words.push_back(command_line[i]);
  return words;
}

int launch(const std::string& mode, Context& ctx) {
  const std::string step = "modo launch";
  std::vector<std::string> words = launch_command_line(mode, ctx.command_line);
  std::vector<char*> argv;
  std::transform(words.begin(), words.end(), std::back_inserter(argv),
                 [](std::string& word) { return word.data(); });
  argv.push_back(nullptr);

  // The child writes into a pipe that nobody reads; it ignores SIGPIPE like
  // every run of the program, so losing its output never stops it.
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throw system_failure(step, "pipe", errno);
  Fd read_end(ends[0]);
  Fd write_end(ends[1]);

  SpawnFileActions actions(step);
  actions.dup2(write_end.get(), STDOUT_FILENO);
  actions.dup2(write_end.get(), STDERR_FILENO);
  actions.close_from(STDERR_FILENO + 1);
  pid_t pid = 0;
  int err = ::posix_spawnp(&pid, argv[0], actions.get(), nullptr, argv.data(), environ);
  if (err != 0) throw system_failure(step, "não foi possível iniciar " + words[0], err);

  println(ctx.out, "Processo inicializado com sucesso!");
  return 0;
}

Modes real_modes() {
  return Modes{.coletarDns = coletarDns, .launch = launch};
}

int main_entry(int argc, char** argv) {
  // A reader that goes away (the launch mode's pipe, a closed terminal) must not
  // end a run: writes then fail with EPIPE instead.
  ::signal(SIGPIPE, SIG_IGN);
  ShellRunner runner;
  Container contained;
  FdStreamBuf out_buf(STDOUT_FILENO), err_buf(STDERR_FILENO);
  std::ostream out(&out_buf), err(&err_buf);
  Context ctx{.command_line = std::vector<std::string>(argv, argv + argc),
              .settings = {},
              .configuration_file = std::string(kConfigurationFile),
              .out = out,
              .err = err,
              .capture = {},
              .delivery = {},
              .runner = runner,
              .contained = contained,
              .pause = sleep_pause};
  return run(ctx, real_modes());
}

}  // namespace quillet
