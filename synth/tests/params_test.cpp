// Tests of parameter and glottal file reading, their checks and warnings, the derived timing and
// the tables.
#include "params.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

const std::string DEFAULT_PAR = std::string(TALORIA_SOURCE_DIR) + "/synth/data/default.par";

// Writes parameter and glottal files into a fresh directory, removed afterwards.
class parvox_params : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/parvox_params_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        for (const std::string &f : files_) {
            unlink(f.c_str());
        }
        rmdir(dir_.c_str());
    }
    std::string write(const std::string &name, const std::string &text) {
        std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        files_.push_back(path);
        return path;
    }
    // The text with the number in front of the first whole word `keyword` replaced.
    static std::string with_value(std::string text, const std::string &keyword,
                                  const std::string &value) {
        auto blank = [](char c) { return c == ' ' || c == '\n' || c == '\t'; };
        for (size_t at = text.find(keyword); at != std::string::npos;
             at = text.find(keyword, at + 1)) {
            size_t after = at + keyword.size();
            if (at == 0 || !blank(text[at - 1]) || (after < text.size() && !blank(text[after]))) {
                continue;
            }
            size_t end = at;
            while (end > 0 && blank(text[end - 1])) {
                --end;
            }
            size_t start = end;
            while (start > 0 && !blank(text[start - 1])) {
                --start;
            }
            return text.replace(start, end - start, value);
        }
        ADD_FAILURE() << keyword;
        return text;
    }
    static std::string replaced_all(std::string text, const std::string &from,
                                    const std::string &to) {
        for (size_t at = text.find(from); at != std::string::npos;
             at = text.find(from, at + to.size())) {
            text.replace(at, from.size(), to);
        }
        return text;
    }
    static std::string replaced(std::string text, const std::string &from, const std::string &to) {
        size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return at == std::string::npos ? text : text.replace(at, from.size(), to);
    }
    std::string defaults() const { return read_text(DEFAULT_PAR); }

    std::string dir_;
    std::vector<std::string> files_;
};

// Escapes a message for the death-test regular expression.
std::string literal(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (std::strchr(".[]{}()\\*+?^$|", c) != nullptr) {
            out += '\\';
        }
        out += c;
    }
    return out;
}

synth_params read_and_build(const char *parameter_file, const char *glottal_file = nullptr) {
    synth_params p;
    read_parameters_from(&p, parameter_file, glottal_file);
    build_tables_for(&p);
    return p;
}

TEST_F(parvox_params, DefaultParFileGivesExactlyTheBuiltInValues) {
    synth_params built_in;
    synth_params from_file;
    read_parameters_from(&built_in, nullptr, nullptr);
    read_parameters_from(&from_file, DEFAULT_PAR.c_str(), nullptr);
    EXPECT_EQ(std::memcmp(&built_in, &from_file, sizeof built_in), 0);
    build_tables_for(&built_in);
    build_tables_for(&from_file);
    EXPECT_EQ(std::memcmp(&built_in, &from_file, sizeof built_in), 0);

    // The raw fields themselves, not only equality with the file.
    synth_params d;
    set_default_parameters(&d);
    EXPECT_FLOAT_EQ(d.gclf, 28.4f);
    EXPECT_FLOAT_EQ(d.grpl, 0.6f);
    EXPECT_EQ(d.expat[45], -8);
    EXPECT_EQ(d.expat[71], 127);
    EXPECT_EQ(d.gapat[17], 3);
    EXPECT_FLOAT_EQ(d.fmgain[5], -1.0f);
    EXPECT_EQ(d.alfcon, 255);
}

TEST_F(parvox_params, WithoutParameterFileTheGlottalFileIsIgnored) {
    std::string glottal = write("g.txt", "garbage");
    synth_params a = read_and_build(nullptr, glottal.c_str());
    synth_params b = read_and_build("");
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
}

TEST_F(parvox_params, DefaultTimingAndTables) {
    synth_params p = read_and_build(nullptr);
    EXPECT_EQ(p.frame_length, 110);
    EXPECT_FLOAT_EQ(p.srate, 11000.0f);
    EXPECT_EQ(p.formant_segment, 4);
    EXPECT_EQ(p.formant_controls, 28);
    EXPECT_EQ(p.control_start[27], 108);
    EXPECT_EQ(p.control_end[27], 109);  // the last control covers two samples
    EXPECT_EQ(p.control_end[26], 107);
    EXPECT_FLOAT_EQ(p.cratef, 2750.0f);
    EXPECT_FLOAT_EQ(p.cratex, 1100.0f);
    EXPECT_FLOAT_EQ(p.excitation_rate, 44000.0f);
    EXPECT_EQ(p.excitation_frame_length, 440);
    EXPECT_EQ(p.excitation_segment, 40);
    EXPECT_EQ(p.excitation_controls, 11);
    EXPECT_NEAR(p.noise_amplitude, 3800.0 * std::sqrt(180.0 / 11000.0), 0.01);
    EXPECT_EQ(p.silence_samples, 55);
    EXPECT_FLOAT_EQ(p.aoffdn, 4.0f);
    EXPECT_FLOAT_EQ(p.foffdn, (490.0f - 125.0f) / 25.0f);
    EXPECT_FLOAT_EQ(p.pulse_shape[71], 3800.0f);
    EXPECT_FLOAT_EQ(p.pulse_shape[0], 5.0f * 3800.0f / 127.0f);
    EXPECT_FLOAT_EQ(p.phase_pattern[11], 1.0f);

    const float gains[NUM_BRANCHES] = {28.4f, -1, 1, -1, 1, -28.4f};
    for (int b = 0; b < NUM_BRANCHES; ++b) {
        EXPECT_FLOAT_EQ(p.branch_gain[b], gains[b]) << b;
    }
    // First-formant control 16 lands on entry 23 of the frequency grid (496 Hz).
    float position = 15 * p.freq_step[0] + p.freq_base[0];
    EXPECT_NEAR(position, 23.72, 0.01);
    EXPECT_NEAR(p.cos_table[22], std::cos(2 * M_PI * 496 / 11000), 1e-5);
    EXPECT_NEAR(p.cos_table[255], std::cos(2 * M_PI * 4690 / 11000), 1e-5);
    EXPECT_FLOAT_EQ(p.bw_base[0], 7.5f);
    EXPECT_NEAR(p.radius_table[6], std::exp(-M_PI * 60 / 11000), 1e-6);
    EXPECT_NEAR(p.radius_table[31], std::exp(-M_PI * 310 / 11000), 1e-6);
    EXPECT_FLOAT_EQ(p.bw_mod_step[0], 20.0f);
    EXPECT_FLOAT_EQ(p.bw_nasal_step[1], 7.0f);
    EXPECT_FLOAT_EQ(p.freq_step[5], 5.0f / 18.0f);
    EXPECT_FLOAT_EQ(p.freq_mod[2], 0.0f);

    EXPECT_NEAR(p.f0_table[0], 25 * std::pow(2.0, 1.0 / 16), 1e-3);
    EXPECT_NEAR(p.f0_table[63], 400.0, 1e-3);
    EXPECT_NEAR(p.f0_table[35], 118.9, 0.05);
    EXPECT_FLOAT_EQ(p.amp_table[63], 1.0f);
    EXPECT_FLOAT_EQ(p.amp_table[1], 0.0f);
    EXPECT_FLOAT_EQ(p.amp_table[2], 0.0f);
    EXPECT_NEAR(p.amp_table[0], std::pow(10.0, -63.0 / 20), 1e-7);
    EXPECT_NEAR(p.amp_table[43], 0.1, 1e-6);
}

// A parameter set changed in one value: its timing and the warnings it prints.
struct timing_case {
    const char *keyword;
    const char *value;
    int frame_length;
    int formant_segment;
    int formant_controls;
    int excitation_segment;
    int excitation_controls;
    const char *warning;  // empty: no warning at all
};

TEST_F(parvox_params, DerivedTimingOfOtherParameterSets) {
    const timing_case cases[] = {
        {"frate", "120", 92, 4, 23, 40, 10,
         "parvox: warning - non integer number of samples per frame\n"
         "Main sampling rate adjusted to 11040.000000 Hz\n"},
        {"frate", "98", 112, 4, 28, 40, 12, "Main sampling rate adjusted to 10976.000000 Hz"},
        {"frate", "110", 100, 4, 25, 40, 10, ""},
        {"srate", "11000.4", 110, 4, 28, 40, 11, "Main sampling rate adjusted to 11000.000000 Hz"},
        {"srate", "10999.5", 110, 4, 28, 40, 11, "Main sampling rate adjusted to 11000.000000 Hz"},
        {"cratef", "3000", 110, 4, 28, 40, 11,
         "parvox: warning - Formant smoothed control rate not submultiple of main rate\n"
         "Control rate adjusted to 2750.000000 Hz\n"},
        // Segments keep their rounded value: 11000 / (11000 / 63) in single precision
        // is a hair below 63 and would truncate to 62.
        {"cratef", "174.6032", 110, 63, 2, 40, 11, "Control rate adjusted to 174.603"},
        {"cratex", "1200", 110, 4, 28, 37, 12,
         "parvox: warning - Excitation smoothed control rate not a submultiple of higher "
         "excitation sampling rate, adjusted to 1189.18"},
        {"cratex", "1000", 110, 4, 28, 44, 10, ""},
        {"cratex", "4400", 110, 4, 28, 10, 44, ""},
    };
    for (const timing_case &c : cases) {
        std::string path = write("t.par", with_value(defaults(), c.keyword, c.value));
        testing::internal::CaptureStderr();
        synth_params p = read_and_build(path.c_str());
        std::string warnings = testing::internal::GetCapturedStderr();
        SCOPED_TRACE(std::string(c.keyword) + " " + c.value);
        EXPECT_EQ(p.frame_length, c.frame_length);
        EXPECT_FLOAT_EQ(p.srate, c.frame_length * p.frate);
        EXPECT_EQ(p.formant_segment, c.formant_segment);
        EXPECT_EQ(p.formant_controls, c.formant_controls);
        EXPECT_EQ(p.excitation_segment, c.excitation_segment);
        EXPECT_EQ(p.excitation_controls, c.excitation_controls);
        EXPECT_EQ(p.control_end[p.formant_controls - 1], p.frame_length - 1);
        if (c.warning[0] == '\0') {
            EXPECT_EQ(warnings, "");
        } else {
            EXPECT_NE(warnings.find(c.warning), std::string::npos) << warnings;
        }
    }
}

TEST_F(parvox_params, TablesFollowTheAdjustedRate) {
    // At 120 frames per second the rate becomes 11040 Hz and every table is built for it.
    testing::internal::CaptureStderr();
    synth_params p = read_and_build(write("t.par", with_value(defaults(), "frate", "120")).c_str());
    testing::internal::GetCapturedStderr();
    EXPECT_NEAR(p.cos_table[0], std::cos(2 * M_PI * 100 / 11040), 1e-6);
    EXPECT_NEAR(p.radius_table[31], std::exp(-M_PI * 310 / 11040), 1e-6);
    EXPECT_NEAR(p.noise_amplitude, 3800 * std::sqrt(180.0 / 11040), 0.01);
    EXPECT_EQ(p.silence_samples, 55);
}

// Every table entry is the float nearest to its formula evaluated exactly
// (with the program's values of pi), for the defaults and for a set whose
// grids, scales and rate all differ from them.
TEST_F(parvox_params, TableEntriesAreTheNearestFloatsToTheirFormulas) {
    std::string text = defaults();
    for (const auto &[keyword, value] : {std::pair<const char *, const char *>{"frate", "120"},
                                         {"fqlow", "87.5"},
                                         {"fqstep", "17.3"},
                                         {"bwlow", "12.5"},
                                         {"bwstep", "9.7"},
                                         {"foscal", "31.7"},
                                         {"fobase", "1.93"},
                                         {"dbstep", "1.37"}}) {
        text = with_value(text, keyword, value);
    }
    testing::internal::CaptureStderr();
    const synth_params sets[] = {read_and_build(nullptr),
                                 read_and_build(write("odd.par", text).c_str())};
    testing::internal::GetCapturedStderr();
    for (const synth_params &p : sets) {
        const double srate = p.srate;
        for (int k = 0; k < COS_TABLE_SIZE; ++k) {
            const double hz = double(p.fqlow) + k * double(p.fqstep);
            EXPECT_EQ(p.cos_table[k], float(std::cos(6.2831854 * hz / srate))) << k;
        }
        for (int k = 0; k < RADIUS_TABLE_SIZE; ++k) {
            const double hz = double(p.bwlow) + k * double(p.bwstep);
            EXPECT_EQ(p.radius_table[k], float(std::exp(-3.1415927 * hz / srate))) << k;
        }
        for (int l = 0; l < F0_TABLE_SIZE; ++l) {
            EXPECT_EQ(p.f0_table[l], float(p.foscal * std::pow(double(p.fobase), (l + 1) / 16.0)));
        }
        for (int l = 0; l < AMP_TABLE_SIZE; ++l) {
            const float expected =
                l == 1 || l == 2 ? 0.0f : float(std::pow(10.0, (l - 63) * double(p.dbstep) / 20));
            EXPECT_EQ(p.amp_table[l], expected) << l;
        }
    }
    EXPECT_FLOAT_EQ(sets[1].srate, 11040.0f);
}

TEST_F(parvox_params, FiftyControlsPerFrameAreAccepted) {
    std::string text = with_value(with_value(defaults(), "frate", "110"), "cratef", "5500");
    synth_params p = read_and_build(write("fifty.par", text).c_str());
    EXPECT_EQ(p.frame_length, 100);
    EXPECT_EQ(p.formant_segment, 2);
    EXPECT_EQ(p.formant_controls, MAX_CONTROLS);
    EXPECT_EQ(p.control_end[MAX_CONTROLS - 1], 99);
}

TEST_F(parvox_params, ValueConversions) {
    struct conversion_case {
        const char *keyword;
        const char *value;
        int alfcon;
        float foscal;
        float fobase;
        float noise_amplitude;
        int silence_samples;
    };
    const float noise = 3800.0f * std::sqrt(180.0f / 11000.0f);
    const conversion_case cases[] = {
        {"alfcon", "256", 0, 25, 2, noise, 55},   {"alfcon", "1", 1, 25, 2, noise, 55},
        {"alfcon", "511", 255, 25, 2, noise, 55}, {"foscal", "-25", 255, 25, 2, noise, 55},
        {"fobase", "-2", 255, 25, 2, noise, 55},  {"foi", "-3", 255, 25, 2, 0, 55},
        {"sil", "1e30", 255, 25, 2, noise, 110},  {"sil", "0", 255, 25, 2, noise, 0},
    };
    for (const conversion_case &c : cases) {
        SCOPED_TRACE(std::string(c.keyword) + " " + c.value);
        synth_params p =
            read_and_build(write("c.par", with_value(defaults(), c.keyword, c.value)).c_str());
        EXPECT_EQ(p.alfcon, c.alfcon);
        EXPECT_FLOAT_EQ(p.foscal, c.foscal);
        EXPECT_FLOAT_EQ(p.fobase, c.fobase);
        EXPECT_NEAR(p.noise_amplitude, c.noise_amplitude, 0.01);
        EXPECT_EQ(p.silence_samples, c.silence_samples);
    }
    // Free layout: any white space between items, and a keyword glued to its number.
    std::string spread = replaced_all(defaults(), " ", "\n\t ");
    spread = replaced(spread, "16\n\t ifrecl", std::string(5000, ' ') + "16ifrecl");
    synth_params a = read_and_build(write("spread.par", spread).c_str());
    synth_params b = read_and_build(nullptr);
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
}

TEST_F(parvox_params, GlottalFileReplacesTheGlottalTables) {
    std::string numbers;
    for (int i = 0; i < PULSE_POINTS; ++i) {
        numbers += std::to_string(i - 36) + (i % 10 == 9 ? "\n" : " ");
    }
    for (int i = 0; i < PHASE_POINTS; ++i) {
        numbers += std::to_string(i % 16) + " ";
    }
    std::string glottal = write("g.txt", numbers);
    // The parameter file's own tables are not read at all when a glottal file is named.
    std::string par = write("p.par", replaced(defaults(), "expat", "nonsense"));
    synth_params p = read_and_build(par.c_str(), glottal.c_str());
    EXPECT_EQ(p.expat[0], -36);
    EXPECT_EQ(p.expat[71], 35);
    EXPECT_EQ(p.gapat[17], 1);
    EXPECT_FLOAT_EQ(p.pulse_shape[71], 35 * 3800.0f / 127.0f);
    EXPECT_FLOAT_EQ(p.phase_pattern[15], 1.0f);
}

// A parameter file that ends the program, and the message it must give.
struct fatal_case {
    std::string text;
    std::string message;
};

TEST_F(parvox_params, RefusedParameterFilesDieWithTheirMessage) {
    const std::string d = defaults();
    const std::string general = "error reading general variables from '%s'";
    const std::vector<fatal_case> cases = {
        // Reading, one case per step and message.
        {"", general},
        {replaced(d, "100 frate", "100 frte"), general},
        {replaced(d, "1100 cratex", "1100 cratx"), general},  // found by the next step
        {replaced(d, "0.6 grpl", "grpl"), general},
        {replaced(d, "2 gouv", "two gouv"), general},
        // The last keyword of a step is not checked, so the next step stumbles on ".5".
        {replaced(d, "19 lsqthr", "19.5 lsqthr"), "error reading control signal offsets from '%s'"},
        {replaced(d, "ictlof 0 0", "ictlof 0 x"), "error reading control signal offsets from '%s'"},
        {replaced(d, "ictlof", "ictlf"), "error reading control signal offsets from '%s'"},
        {replaced(d, "fincrm 25 50 50 0 0 5", "fincrm 25 50 50 0 0"), "error reading '%s'"},
        {replaced(d, "fmgain", "fmgian"), "error reading '%s'"},
        {replaced(d, "12 iampcl", "iampcl"),
         "error reading smoothing filter clamping limits from '%s'"},
        {replaced(d, "255 alfcon", "on alfcon"),
         "error reading operation control flag (alfcon) from '%s' "},
        {replaced(d, "1 2 3 4 5 6 7 9 11 12 14 15 15 14 13 10 7 3", "1 2 3"), "error reading file"},
        {replaced(d, "gapat", "gapat x"), "error reading file"},
        // Consistency checks of the derivation, in their order.
        {with_value(d, "srate", "11001"), "Main sampling rate must be 11000"},
        {with_value(d, "srate", "10999.4"), "Main sampling rate must be 11000"},
        {with_value(d, "frate", "0"), "Frame rate < 0"},
        {with_value(d, "frate", "-100"), "Frame rate < 0"},
        {with_value(d, "cratef", "0"), "Formant smoothed control rate < 0.0"},
        {with_value(d, "cratex", "-1"), "Excitation smoothed control rate < 0.0"},
        {with_value(d, "cratef", "99"), "Formant control rate < frame rate"},
        {with_value(d, "cratex", "99"), "Excitation control rate < frame rate"},
        {with_value(d, "frate", "97"), "frame rate too low: frame > 112 samples"},
        {with_value(d, "cratef", "5500"), ">50 smoothed formant controls per frame"},
        {with_value(d, "cratex", "6000"), ">50 smoothed excitation controls per frame"},
        // Values that are no finite number, or that put a length or table out of range.
        {with_value(d, "frate", "1e-30"), "frame rate too low: frame > 112 samples"},
        {with_value(d, "cratef", "1e30"), ">50 smoothed formant controls per frame"},
        {with_value(d, "cratex", "1e30"), ">50 smoothed excitation controls per frame"},
        {with_value(d, "srate", "nan"), "srate is not a finite number in '%s'"},
        {with_value(d, "frate", "inf"), "frate is not a finite number in '%s'"},
        {with_value(d, "xscale", "1e40"), "xscale is not a finite number in '%s'"},
        {replaced(d, "flflim 125", "flflim -nan"), "flflim is not a finite number in '%s'"},
        {with_value(d, "isqthr", "99999999999"), "isqthr out of range in '%s'"},
        {replaced(d, "ictlof 0", "ictlof -3000000000"), "ictlof out of range in '%s'"},
        {replaced(d, "-8 -8 -8", "-8 -8 -80000000000"), "expat out of range in '%s'"},
        {with_value(d, "sil", "-1"), "sil out of range in '%s'"},
        {with_value(d, "foscal", "0"), "foscal or fobase out of range in '%s'"},
        {with_value(d, "fobase", "0"), "foscal or fobase out of range in '%s'"},
        {with_value(d, "fobase", "1e30"), "foscal or fobase out of range in '%s'"},
        {with_value(d, "conts", "-10"), "grpl or conts out of range in '%s'"},
        {with_value(d, "grpl", "1e30"), "grpl or conts out of range in '%s'"},
        {with_value(d, "dbstep", "-1e30"), "dbstep out of range in '%s'"},
        {with_value(d, "dbstep", "1e-44"), "aoffdn or dbstep out of range in '%s'"},
        {with_value(d, "fqstep", "1e-40"), "fqlow, fqstep or flflim out of range in '%s'"},
        {with_value(d, "fqstep", "3e38"), "fqlow or fqstep out of range in '%s'"},
        {with_value(d, "bwstep", "-3e38"), "bwlow or bwstep out of range in '%s'"},
        {with_value(d, "bwstep", "1e-40"), "bwlow, bwstep or bdwtab out of range in '%s'"},
        {replaced(with_value(d, "gclf", "3e38"), "fmgain 1", "fmgain 2"),
         "gclf or fmgain out of range in '%s'"},
    };
    for (const fatal_case &c : cases) {
        std::string path = write("bad.par", c.text);
        std::string message = replaced_all(c.message, "%s", path);
        SCOPED_TRACE(message);
        EXPECT_EXIT(read_and_build(path.c_str()), testing::ExitedWithCode(1),
                    "parvox: " + literal(message));
    }
}

TEST_F(parvox_params, MissingFilesAreFatal) {
    std::string missing = dir_ + "/none.par";
    EXPECT_EXIT(read_and_build(missing.c_str()), testing::ExitedWithCode(1),
                literal("parvox: can't open parameter file '" + missing + "'"));
    std::string missing_glottal = dir_ + "/none.glo";
    EXPECT_EXIT(read_and_build(DEFAULT_PAR.c_str(), missing_glottal.c_str()),
                testing::ExitedWithCode(1),
                literal("parvox: cannot open glottal file '" + missing_glottal + "'"));
    // 89 of the 90 values.
    std::string numbers;
    for (int i = 0; i < 89; ++i) {
        numbers += "1 ";
    }
    std::string short_glottal = write("short.glo", numbers);
    EXPECT_EXIT(read_and_build(DEFAULT_PAR.c_str(), short_glottal.c_str()),
                testing::ExitedWithCode(1), "parvox: error reading file");
}

TEST_F(parvox_params, AnyBytesGiveAMessageNeverACrash) {
    const std::string cases[] = {
        std::string("11000\0srate", 11),
        std::string(100000, '9'),
        "\x1a\xff\xfe garbage",
    };
    for (const std::string &text : cases) {
        std::string path = write("junk.par", text);
        EXPECT_EXIT(read_and_build(path.c_str()), testing::ExitedWithCode(1), "parvox: ");
    }
}

}  // namespace
