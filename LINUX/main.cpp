#include "entry.h"

int main(int argc, char** argv) {
  return quillet::main_entry(argc, argv);
}
