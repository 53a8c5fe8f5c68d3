// Shared types of the pipeline core: stage constants, command flags, catalogue
// entries and command templates.
#pragma once

#include <string>

constexpr int NUM_STAGES = 3;
// Nominal capacities per stage. The catalogue and the template lists grow as
// needed, so nothing beyond these numbers is dropped.
constexpr int MAX_CONFIGS = 100;
constexpr int MAX_COMMANDS = 100;

// Macro flags of a command template.
constexpr int CMD_INPUT = 0x01;   // $INPUT: take the document's input text, start nothing
constexpr int CMD_OUTPUT = 0x02;  // $OUTPUT: set the play file to arg, start nothing
constexpr int CMD_TEXT = 0x04;    // $TEXT: store the data as outputS-I.txt
constexpr int CMD_XML = 0x08;     // $XML: store the data as outputS-I.xml
constexpr int CMD_WAV = 0x10;     // $WAV: store the data as outputS-I.wav
constexpr int CMD_ARG = 0x20;     // $ARG(file): the results page links arg
constexpr int CMD_TEE = 0x40;     // $TEE(file): also store the data in arg

// One configuration file of a stage.
struct ConfigEntry {
    std::string path;  // full path of the file
    std::string name;  // display name
};

// One command line of a configuration.
struct CommandTemplate {
    std::string text;  // the command line without its macro words
    int flags = 0;     // CMD_* bits
    std::string arg;   // file of $ARG( or $TEE(, relative to the application directory
    int done = 0;      // set by the runner once the command's data are stored
};
