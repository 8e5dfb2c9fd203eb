// The layout of qxtool's --help and --help-all: each option's text wrapped
// within 80 columns beside its name, never run into it, and every command
// under a heading of its own with its synopsis, so that the man page made
// from --help-all reads as the terminal does.
#pragma once

#include <memory>

#include <CLI/CLI.hpp>

std::shared_ptr<CLI::Formatter> qxtool_help_formatter();
