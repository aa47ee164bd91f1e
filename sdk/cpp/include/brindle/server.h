#pragma once

// Everything a file-system server written with the SDK needs, in one include.
#include "brindle/backend.h"
#include "brindle/errors.h"
#include "brindle/names.h"
#include "brindle/node_table.h"
#include "brindle/program.h"
#include "brindle/records.h"
#include "brindle/serving.h"
#include "brindle/unique_fd.h"
