"""What the recording tells: loudness, the pitch of a steady tone, and where in the sweep song the
sound came from. Plain Python over 16-bit samples at 44.1 kHz."""

import math

RATE = 44100
SILENCE_RMS = 150  # of 32768; the test songs play at about a third of full scale


def rms(samples):
    return math.sqrt(sum(s * s for s in samples) / len(samples)) if samples else 0.0


def cycles(samples, least_rms=SILENCE_RMS):
    """(start, end, frequency) in seconds and Hz of each cycle between upward zero crossings
    that is loud enough."""
    ups = [i - 1 + a / (a - b) for i, (a, b) in enumerate(zip(samples, samples[1:]), 1)
           if a < 0 <= b]
    return [(a / RATE, b / RATE, RATE / (b - a)) for a, b in zip(ups, ups[1:])
            if int(b) - int(a) >= 3 and rms(samples[int(a):int(b) + 1]) >= least_rms]


def pitch(samples):
    """The frequency of a steady tone in Hz: the median over its cycles, so that a hole in the
    sound does not drag it down; 0 when there is no tone."""
    found = sorted(f for _, _, f in cycles(samples))
    return found[len(found) // 2] if len(found) >= 3 else 0.0


def loud_fraction(samples, window=0.01):
    """The share of windows of the given length that are not silent."""
    size = int(window * RATE)
    loud = [rms(samples[i:i + size]) >= SILENCE_RMS
            for i in range(0, len(samples) - size + 1, size)]
    return sum(loud) / len(loud) if loud else 0.0


def holes(samples, window=0.002, zeros=16):
    """Silent holes inside sound, as (start, length) in seconds: windows of 2 ms without sound
    between windows with sound, and shorter runs of `zeros` samples or more at 0 (a tone is never
    at 0 for more than a sample or two), which a window half filled with sound would hide."""
    size = int(window * RATE)
    loud = [i for i in range(0, len(samples) - size + 1, size)
            if rms(samples[i:i + size]) >= SILENCE_RMS]
    found = [((a + size) / RATE, (b - a - size) / RATE)
             for a, b in zip(loud, loud[1:]) if b > a + size]
    run = 0
    for i in range(loud[0] if loud else 0, loud[-1] + size if loud else 0):
        run = run + 1 if abs(samples[i]) <= 1 else 0
        if run == zeros:
            start = (i - zeros + 1) / RATE
            end = next((k for k in range(i, len(samples)) if abs(samples[k]) > 1), len(samples))
            if not any(a - window <= start <= a + length + window for a, length in found):
                found.append((start, (end - i + zeros - 1) / RATE))
    return sorted(found)


SWEEP = (300.0, 1500.0, 12.0)  # the sweep song: from Hz, to Hz, seconds


def stretches(samples, jump=0.12, shortest=0.03):
    """The sweep song's stretches of continuous play: (rec start, rec end, song start, song end)
    in seconds. A new one begins where the song position stops following the recording's clock;
    two that continue each other across a few odd cycles are one."""
    low, high, seconds = SWEEP
    runs = []
    for a, b, f in cycles(samples, SILENCE_RMS * 2):
        if low * 0.9 <= f <= high * 1.1:
            offset = (f - low) / (high - low) * seconds - (a + b) / 2
            if not runs or abs(offset - runs[-1][-1][2]) > jump:
                runs.append([])
            runs[-1].append((a, b, offset))
    found = []
    for run in runs:
        begin, end = run[0][0], run[-1][1]
        offset = sorted(o for _, _, o in run)[len(run) // 2]
        if end - begin < shortest:
            continue
        if found and begin - found[-1][1] < 0.1 and abs(offset - found[-1][4]) < 0.05:
            found[-1] = (found[-1][0], end, found[-1][2], end + offset, offset)
        else:
            found.append((begin, end, begin + offset, end + offset, offset))
    return [s[:4] for s in found]
