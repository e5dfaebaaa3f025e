// SPDX-License-Identifier: GPL-3.0-or-later
// korvane: the window.
#include "app/korvane_app.h"

int main(int argc, char** argv) {
  return theApp.Run(argc, argv);
}
