// Integrated loudness (ITU-R BS.1770-4, the measure EBU R128 and `l3 gain --track` use) of
// an AudioBuffer decoded by the browser: K-weighting (a high shelf, then a high-pass) per
// channel, mean square over 400 ms blocks that overlap by 75 %, an absolute gate at -70 LUFS
// and a relative gate 10 LU below the loudness of the blocks that pass it. Channels weigh 1
// (the stereo or mono streams Layer III carries). Returns LUFS, or -Infinity for silence.
'use strict';

// The two filters of K-weighting, as a shelving and a high-pass biquad designed for any
// sampling rate from their analogue parameters (centre frequency, gain, quality), so that
// at 48 kHz they give the standard's coefficients.
function kWeightingFilters(rate) {
  const shelfK = Math.tan(Math.PI * 1681.974450955533 / rate);
  const shelfQ = 0.7071752369554196;
  const vh = Math.pow(10, 3.999843853973347 / 20);
  const vb = Math.pow(vh, 0.4996667741545416);
  const s0 = 1 + shelfK / shelfQ + shelfK * shelfK;
  const shelf = {
    b: [(vh + vb * shelfK / shelfQ + shelfK * shelfK) / s0, 2 * (shelfK * shelfK - vh) / s0,
        (vh - vb * shelfK / shelfQ + shelfK * shelfK) / s0],
    a: [2 * (shelfK * shelfK - 1) / s0, (1 - shelfK / shelfQ + shelfK * shelfK) / s0],
  };
  const passK = Math.tan(Math.PI * 38.13547087602444 / rate);
  const passQ = 0.5003270373238773;
  const p0 = 1 + passK / passQ + passK * passK;
  const highPass = {
    b: [1, -2, 1],
    a: [2 * (passK * passK - 1) / p0, (1 - passK / passQ + passK * passK) / p0],
  };
  return [shelf, highPass];
}

// Filters samples through a biquad in direct form I, into a new array.
function biquad(samples, f) {
  const out = new Float64Array(samples.length);
  let x1 = 0, x2 = 0, y1 = 0, y2 = 0;
  for (let i = 0; i < samples.length; i++) {
    const x = samples[i];
    const y = f.b[0] * x + f.b[1] * x1 + f.b[2] * x2 - f.a[0] * y1 - f.a[1] * y2;
    x2 = x1; x1 = x; y2 = y1; y1 = y;
    out[i] = y;
  }
  return out;
}

function blockLoudness(power) {
  return -0.691 + 10 * Math.log10(power);
}

function integratedLoudness(buffer) {
  const rate = buffer.sampleRate;
  const filters = kWeightingFilters(rate);
  const weighted = [];
  for (let c = 0; c < buffer.numberOfChannels; c++) {
    weighted.push(biquad(biquad(buffer.getChannelData(c), filters[0]), filters[1]));
  }
  const blockLength = Math.round(0.4 * rate);
  const step = Math.round(0.1 * rate);
  const powers = [];
  for (let start = 0; start + blockLength <= buffer.length; start += step) {
    let power = 0;
    for (const channel of weighted) {
      let sum = 0;
      for (let i = start; i < start + blockLength; i++) sum += channel[i] * channel[i];
      power += sum / blockLength;
    }
    powers.push(power);
  }
  const mean = (list) => list.reduce((a, b) => a + b, 0) / list.length;
  const loud = powers.filter((p) => blockLoudness(p) > -70);
  if (loud.length === 0) return -Infinity;
  const relativeGate = blockLoudness(mean(loud)) - 10;
  const gated = loud.filter((p) => blockLoudness(p) > relativeGate);
  return blockLoudness(mean(gated));
}

// The whole number of 1.5 dB steps that brings a loudness nearest to a target.
function suggestedSteps(lufs, target) {
  return Math.round((target - lufs) / 1.5);
}
