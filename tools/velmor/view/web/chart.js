import uPlot from '/vendor/uPlot.esm.js';

const COLOURS = ['#1f77b4', '#d62728', '#2ca02c', '#9467bd', '#ff7f0e', '#17becf', '#8c564b', '#e377c2'];

const AXIS_LABELS = {
  counts: 'counts',
  'dark-subtracted': 'counts − dark',
  transmission: 'transmission (%)',
  absorbance: 'absorbance',
};

export function colourOf(index) {
  return COLOURS[index % COLOURS.length];
}

// One chart of every device's spectrum over wavelength. The devices have
// wavelength tables of their own; the chart's x axis is their union, and a
// device has no value (undefined, drawn through) at another's wavelengths,
// while a gap in its own data (null) stays a gap.
export class SpectraChart {
  constructor(element) {
    this.element = element;
    this.plot = null;
    this.zoomed = false;
  }

  setDevices(devices, mode) {
    const union = [...new Set(devices.flatMap((device) => device.wavelengths))].sort((a, b) => a - b);
    const position = new Map(union.map((nm, index) => [nm, index]));
    this.x = union;
    this.serials = devices.map((device) => device.serial);
    this.slots = devices.map((device) => device.wavelengths.map((nm) => position.get(nm)));
    this.data = [union, ...devices.map(() => new Array(union.length).fill(undefined))];
    this.mode = mode;
    this.build();
  }

  setMode(mode) {
    this.mode = mode;
    this.data.slice(1).forEach((series) => series.fill(undefined));
    this.build();
  }

  build() {
    this.plot?.destroy();
    this.zoomed = false;
    const options = {
      width: Math.max(600, this.element.clientWidth || window.innerWidth - 40),
      height: 420,
      scales: { x: { time: false } },
      axes: [{ label: 'wavelength (nm)' }, { label: AXIS_LABELS[this.mode], size: 70 }],
      series: [
        { label: 'nm', value: (u, v) => (v == null ? '–' : v.toFixed(2)) },
        ...this.serials.map((serial, index) => ({ label: serial, stroke: colourOf(index), width: 1, points: { show: false } })),
      ],
      cursor: { drag: { x: true, y: true, uni: 20 } },
      hooks: { setSelect: [() => { this.zoomed = true; }] },
    };
    this.plot = new uPlot(options, this.data, this.element);
    this.plot.over.addEventListener('dblclick', () => this.resetZoom());
    this.plot.over.addEventListener('wheel', (event) => this.zoomAround(event), { passive: false });
  }

  // Values of one device, in the order of its own pixels.
  setValues(index, values) {
    const series = this.data[index + 1];
    const slots = this.slots[index];
    for (let pixel = 0; pixel < slots.length; pixel++) {
      series[slots[pixel]] = values[pixel] ?? null;
    }
  }

  draw() {
    this.plot.setData(this.data, !this.zoomed);
  }

  resetZoom() {
    this.zoomed = false;
    this.plot.setData(this.data, true);
  }

  zoomAround(event) {
    event.preventDefault();
    const { min, max } = this.plot.scales.x;
    const at = this.plot.posToVal(event.offsetX, 'x');
    const factor = event.deltaY < 0 ? 0.8 : 1.25;
    this.zoomed = true;
    this.plot.setScale('x', { min: at - (at - min) * factor, max: at + (max - at) * factor });
  }

  pan(direction) {
    const { min, max } = this.plot.scales.x;
    const step = (max - min) * 0.2 * direction;
    this.zoomed = true;
    this.plot.setScale('x', { min: min + step, max: max + step });
  }

  canvas() {
    return this.plot.ctx.canvas;
  }
}
