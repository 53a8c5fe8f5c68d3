#!/usr/bin/env python3
"""Intelligibility benchmark: synthesizes sentences with four voices, runs an
offline speech recognizer on each, and prints word error rate, share of
sentences recognized whole, and seconds of speech per CPU second of each
synthesis. Only the comparison between the voices of one run counts."""

import argparse
import os
import re
import resource
import shlex
import subprocess
import sys
import tempfile
import wave

MODEL = "/usr/share/pocketsphinx/model/en-us"
MBROLA_VOICE = "/usr/share/mbrola/en1/en1"
SPEED_RUNS = 3


def systems(bin_dir, rules):
    """Each voice: a name and a shell command from $TEXT (a file) to $WAV."""
    frames = f"{shlex.quote(bin_dir)}/phonframes"
    if rules:
        frames += f" -r {shlex.quote(rules)}"
    return [
        ("espeak-ng default", 'espeak-ng -w "$WAV" -f "$TEXT"'),
        ("espeak-ng Klatt", 'espeak-ng -v en+klatt -w "$WAV" -f "$TEXT"'),
        ("MBROLA en1", f'espeak-ng -v mb-en1 -q --pho -f "$TEXT" | '
                       f'{shlex.quote(bin_dir)}/phorender {MBROLA_VOICE} - "$WAV"'),
        ("phonframes+parvox", f'espeak-ng -v mb-en1 -q --pho -f "$TEXT" | {frames} | '
                              f'{shlex.quote(bin_dir)}/parvox -o "$WAV"'),
    ]


def children_cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def synthesize(command, text_file, wav_file):
    """Runs one synthesis; returns its CPU seconds and its standard error."""
    env = dict(os.environ, TEXT=text_file, WAV=wav_file)
    before = children_cpu_seconds()
    done = subprocess.run(["sh", "-c", command], env=env, capture_output=True, text=True)
    cpu = children_cpu_seconds() - before
    if done.returncode != 0:
        sys.exit(f"intelligibility: '{command}' failed: {done.stderr.strip()}")
    return cpu, done.stderr


def wav_seconds(path):
    with wave.open(path, "rb") as w:
        return w.getnframes() / w.getframerate()


def to_recognizer_format(path, out_path):
    subprocess.run(["sox", path, "-r", "16000", "-c", "1", "-b", "16", out_path], check=True)


def recognize_all(wav_files, work):
    """Runs the recognizer once over all files (one model load)."""
    ctl = os.path.join(work, "files.ctl")
    with open(ctl, "w") as f:
        for path in wav_files:
            f.write(os.path.splitext(os.path.basename(path))[0] + "\n")
    hyp = os.path.join(work, "out.hyp")
    subprocess.run(["pocketsphinx_batch", "-hmm", f"{MODEL}/en-us", "-lm", f"{MODEL}/en-us.lm.bin",
                    "-dict", f"{MODEL}/cmudict-en-us.dict", "-ctl", ctl, "-cepdir", work,
                    "-cepext", ".wav", "-adcin", "yes", "-adchdr", "44", "-hyp", hyp,
                    "-logfn", os.devnull], check=True)
    results = {}
    with open(hyp) as f:
        for line in f:
            m = re.match(r"^(.*)\s+\((\S+)(?:\s+\S+)?\)\s*$", line)
            if m:
                results[m.group(2)] = m.group(1)
    return [results.get(os.path.splitext(os.path.basename(p))[0], "") for p in wav_files]


def words_of(text):
    return re.findall(r"[a-z']+", text.lower().replace("-", " "))


def word_errors(reference, hypothesis):
    """Levenshtein distance between two word lists."""
    previous = list(range(len(hypothesis) + 1))
    for i, ref_word in enumerate(reference, 1):
        current = [i]
        for j, hyp_word in enumerate(hypothesis, 1):
            current.append(min(previous[j] + 1, current[j - 1] + 1,
                               previous[j - 1] + (ref_word != hyp_word)))
        previous = current
    return previous[-1]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", help="build folder (its bin/ holds phonframes, parvox, phorender)")
    parser.add_argument("sentences", nargs="?",
                        default=os.path.join(here, "sentences.txt"),
                        help="one sentence a line (default: sentences.txt beside this script)")
    parser.add_argument("--rules", help="rule file for phonframes (default: its own)")
    parser.add_argument("--only", help="run only the voices whose name contains this")
    parser.add_argument("--show", action="store_true", help="print every recognized sentence")
    parser.add_argument("--speed-repeats", type=int, default=10,
                        help="copies of the whole list synthesized at once for the speed figure")
    args = parser.parse_args()
    bin_dir = os.path.join(os.path.abspath(args.build), "bin")
    with open(args.sentences) as f:
        sentences = [line.strip() for line in f if line.strip()]
    voices = [v for v in systems(bin_dir, args.rules) if not args.only or args.only in v[0]]

    with tempfile.TemporaryDirectory() as work:
        print(f"{len(sentences)} sentences from {args.sentences}")
        print(f"{'voice':20} {'WER %':>7} {'whole %':>8} {'speech s / CPU s':>17}")
        figures = {}
        for index, (name, command) in enumerate(voices):
            wavs = []
            for n, sentence in enumerate(sentences):
                text_file = os.path.join(work, "sentence.txt")
                with open(text_file, "w") as f:
                    f.write(sentence + "\n")
                raw = os.path.join(work, f"raw{index}_{n}.wav")
                _, errors = synthesize(command, text_file, raw)
                if "overload" in errors:
                    print(f"  {name}: sentence {n + 1}: {errors.strip()}")
                wavs.append(os.path.join(work, f"v{index}_{n}.wav"))
                to_recognizer_format(raw, wavs[-1])
            heard = recognize_all(wavs, work)
            total_words = total_errors = whole = 0
            for sentence, hypothesis in zip(sentences, heard):
                ref, hyp = words_of(sentence), words_of(hypothesis)
                errors = word_errors(ref, hyp)
                total_words += len(ref)
                total_errors += errors
                whole += errors == 0
                if args.show:
                    print(f"    {errors:2d} | {sentence} | {hypothesis}")
            speed = speed_figure(command, sentences, args.speed_repeats, work)
            wer = 100 * total_errors / total_words
            figures[name] = (wer, speed)
            print(f"{name:20} {wer:7.1f} {100 * whole / len(sentences):8.1f} {speed:17.0f}")
            sys.stdout.flush()
        print_comparison(figures)


def print_comparison(figures):
    """The formant voice against espeak-ng's Klatt voice and the MBROLA voice."""
    ours = figures.get("phonframes+parvox")
    klatt = figures.get("espeak-ng Klatt")
    mbrola = figures.get("MBROLA en1")
    if ours and klatt:
        print(f"phonframes+parvox against espeak-ng Klatt: WER {ours[0]:.1f} % against "
              f"{klatt[0]:.1f} %, speed {ours[1] / klatt[1]:.2f} times")
    if ours and mbrola:
        print(f"phonframes+parvox against MBROLA en1: WER {ours[0]:.1f} % against {mbrola[0]:.1f} %")


def speed_figure(command, sentences, repeats, work):
    """Seconds of speech per CPU second, for the whole list said `repeats` times
    in one synthesis, so that start-up costs weigh as they would in use. The
    best of three runs counts: other work on the machine only ever adds time."""
    text_file = os.path.join(work, "speed.txt")
    with open(text_file, "w") as f:
        f.write("\n".join(sentences * repeats) + "\n")
    wav = os.path.join(work, "speed.wav")
    cpu = min(synthesize(command, text_file, wav)[0] for _ in range(SPEED_RUNS))
    return wav_seconds(wav) / max(cpu, 1e-3)


if __name__ == "__main__":
    main()
