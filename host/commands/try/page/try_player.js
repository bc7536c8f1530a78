// The Listen switch's player: an AudioWorklet processor, in the page's
// audio thread, that plays the blocks of one sample output the session
// sends, in order, at the audio rate.
//
// The page hands it each block as it arrives ({start, samples}). It starts
// playing once it holds `prefill` samples, and again so after running dry
// (an underrun, counted). It tells the page how many samples it has played,
// at least every `reportEvery`, so that the session runs only as many
// blocks as the buffer takes; and, for each block it received, its first
// sample's clock, checksum and peak, so that a test can hold the received
// samples against the session's.
"use strict";

// FNV-1a over the samples' bits, a 32-bit word at a time (as the session's).
function checksum(samples) {
  const words = new Uint32Array(samples.buffer, samples.byteOffset, samples.length);
  let hash = 2166136261;
  for (let i = 0; i < words.length; i++) hash = Math.imul(hash ^ words[i], 16777619) >>> 0;
  return hash;
}

class TryPlayer extends AudioWorkletProcessor {
  constructor(options) {
    super();
    const settings = options.processorOptions;
    this.prefill = settings.prefill;
    this.reportEvery = settings.reportEvery;
    this.blocks = [];   // the blocks held, oldest first
    this.offset = 0;    // samples of the oldest block already played
    this.held = 0;      // samples held
    this.playing = false;
    this.played = 0;
    this.reported = 0;
    this.underruns = 0;
    this.port.onmessage = event => this.receive(event.data);
  }

  receive(block) {
    this.blocks.push(block.samples);
    this.held += block.samples.length;
    let peak = 0;
    for (const sample of block.samples) peak = Math.max(peak, Math.abs(sample));
    this.port.postMessage({ type: "received", start: block.start, checksum: checksum(block.samples), peak });
  }

  process(inputs, outputs) {
    const out = outputs[0][0];
    if (!this.playing) {
      if (this.held < this.prefill) { out.fill(0); return true; }
      this.playing = true;
    }
    let written = 0;
    while (written < out.length && this.blocks.length > 0) {
      const block = this.blocks[0];
      const take = Math.min(out.length - written, block.length - this.offset);
      out.set(block.subarray(this.offset, this.offset + take), written);
      written += take;
      this.offset += take;
      if (this.offset === block.length) { this.blocks.shift(); this.offset = 0; }
    }
    this.held -= written;
    this.played += written;
    if (written < out.length) {
      out.fill(0, written);
      this.underruns++;
      this.playing = false;
    }
    if (this.played - this.reported >= this.reportEvery || written < out.length) {
      this.reported = this.played;
      this.port.postMessage({ type: "played", played: this.played, underruns: this.underruns });
    }
    return true;
  }
}

registerProcessor("try-player", TryPlayer);
