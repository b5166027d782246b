// SPDX-License-Identifier: Apache-2.0
#include "app/run_service.h"

int main(int argc, char **argv) { return zuno::service::runService(argc, argv); }
