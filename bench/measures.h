#pragma once

// The measures: each adds its rows to the table, in the order main() runs them. A measure lives
// in a file of its own, and one that opens a deck leaves the environment as it found it (sound
// to the disk driver's /dev/null, the buffer pinned at the bench's 256 frames).

#include "songs.h"

namespace pocko::bench {

// openseek.cpp: opening a song with its exact length, and seeking in it.
void measureOpen(const Songs &songs);
void measureSeek(const Songs &songs);
// bursts.cpp: burst trains, captured frame by frame.
void measureBursts(const Songs &songs);
// streamchanges.cpp: holes heard while the stream is changed under way.
void measureStreamChanges(const Songs &songs);
// decodespeed.cpp: the decoder alone, beside mpg123.
void measureDecodeSpeed(const Songs &songs);
// waveform.cpp: the track bar's summary of a song, and what drawing it costs the deck.
void measureWaveform(const Songs &songs);
// cpumemory.cpp: the CPU share while playing, and the peak RSS of a short and a long song.
void measureCpu(const Songs &songs);
void measureMemory(const Songs &songs);
// The child process measureMemory() starts (`--rss FILE`): prints its peak RSS playing the file.
int rssChild(const QString &file);
// latency.cpp: play() to the first sound, through the disk driver and through private servers.
void measureLatencyDisk(const Songs &songs);
void measureLatencyPulseAudio(const Songs &songs);
void measureLatencyPipeWire(const Songs &songs);
// pads.cpp: a pad hit on JACK MIDI to the first sound.
void measurePads(const Songs &songs);
// serverrestarts.cpp: the sound server killed under a playing deck and started again.
void measureServerRestarts(const Songs &songs);
// folderlisting.cpp: the playlist's folder listing over 10,000 files.
void measureFolderListing(const Songs &songs);
// startup.cpp: the real program's start to its window shown.
void measureStartup(const Songs &songs);

} // namespace pocko::bench
