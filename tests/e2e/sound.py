"""What the recording of the sound server's monitor tells: loudness, the pitch of a steady tone, and
where in a sweep song the sound came from. Plain Python over 16-bit samples at 44.1 kHz. Used by
the test's main thread only."""

import math

RATE = 44100
SILENCE_RMS = 150  # of 32768; the test songs play at about a third of full scale


def rms(samples):
    if not samples:
        return 0.0
    return math.sqrt(sum(s * s for s in samples) / len(samples))


def crossings(samples):
    """Times (in samples, fractional) of the upward zero crossings."""
    found = []
    previous = samples[0] if samples else 0
    for i in range(1, len(samples)):
        current = samples[i]
        if previous < 0 <= current:
            found.append(i - 1 + (-previous) / (current - previous))
        previous = current
    return found


def pitch(samples):
    """The frequency of a steady tone in Hz: the median over its cycles, so that a hole in the
    sound does not drag it down; 0 when there is no tone."""
    ups = crossings(samples)
    cycles = []
    for a, b in zip(ups, ups[1:]):
        lo, hi = int(a), int(b) + 1
        if b > a and rms(samples[lo:hi]) >= SILENCE_RMS:
            cycles.append(RATE / (b - a))
    if len(cycles) < 3:
        return 0.0
    cycles.sort()
    return cycles[len(cycles) // 2]


def loud_fraction(samples, window=0.01):
    """The share of windows of the given length that are not silent."""
    size = int(window * RATE)
    total = loud = 0
    for i in range(0, len(samples) - size + 1, size):
        total += 1
        if rms(samples[i:i + size]) >= SILENCE_RMS:
            loud += 1
    return loud / total if total else 0.0


def sound_runs(samples, window=0.002):
    """Runs of sound as (start, end) in seconds from the slice's start, in windows of 2 ms."""
    size = int(window * RATE)
    runs = []
    start = None
    i = 0
    for i in range(0, len(samples) - size + 1, size):
        loud = rms(samples[i:i + size]) >= SILENCE_RMS
        if loud and start is None:
            start = i
        elif not loud and start is not None:
            runs.append((start / RATE, i / RATE))
            start = None
    if start is not None:
        runs.append((start / RATE, (i + size) / RATE))
    return runs


def holes(samples, window=0.002):
    """Silent holes inside sound, as (start, length) in seconds: 2 ms windows without sound
    between windows with sound."""
    runs = sound_runs(samples, window)
    return [(a_end, b_start - a_end) for (_, a_end), (b_start, _) in zip(runs, runs[1:])]


def pitch_track(samples, window=0.05):
    """(time, pitch) per window of the slice; pitch 0 where it is silent."""
    size = int(window * RATE)
    return [(i / RATE, pitch(samples[i:i + size]))
            for i in range(0, len(samples) - size + 1, size)]


class Sweep:
    """A song whose tone rises linearly, so that each cycle of the recording names the point of
    the song it came from."""

    def __init__(self, low, high, seconds):
        self.low = low
        self.high = high
        self.seconds = seconds

    def position(self, frequency):
        return (frequency - self.low) / (self.high - self.low) * self.seconds

    def track(self, samples):
        """(cycle start, cycle end, song position at its middle) in recording seconds for each
        full cycle of sound in the slice."""
        ups = crossings(samples)
        points = []
        for a, b in zip(ups, ups[1:]):
            lo, hi = int(a), int(b) + 1
            if hi - lo < 4 or rms(samples[lo:hi]) < SILENCE_RMS * 2:
                continue
            frequency = RATE / (b - a)
            if self.low * 0.9 <= frequency <= self.high * 1.1:
                points.append((a / RATE, b / RATE, self.position(frequency)))
        return points

    def stretches(self, samples, jump=0.12, shortest=0.03):
        """Stretches of continuous play: (rec start, rec end, song start, song end). A new
        stretch begins where the song position stops following the recording's clock."""
        points = self.track(samples)
        stretches = []
        current = []
        for start, end, p in points:
            t = (start + end) / 2
            if current:
                # Expected position from the run so far; a few odd cycles at a splice are noise.
                _, _, t0, p0 = current[-1]
                if abs((p - p0) - (t - t0)) > jump:
                    stretches.append(current)
                    current = []
            current.append((start, end, t, p))
        if current:
            stretches.append(current)
        result = []
        for run in stretches:
            begin, finish = run[0][0], run[-1][1]
            if finish - begin < shortest:
                continue
            # Robust ends: the median offset of the run gives its song start and end.
            offsets = sorted(p - t for _, _, t, p in run)
            offset = offsets[len(offsets) // 2]
            result.append((begin, finish, begin + offset, finish + offset))
        return merge_stretches(result)


def merge_stretches(stretches, tolerance=0.05):
    """Joins neighbouring stretches that continue each other (a noisy cycle split them)."""
    merged = []
    for s in stretches:
        if merged:
            last = merged[-1]
            gap = s[0] - last[1]
            if gap < 0.1 and abs((s[2] - last[3]) - gap) < tolerance:
                merged[-1] = (last[0], s[1], last[2], s[3])
                continue
        merged.append(s)
    return merged
