import { post } from './api.js';

const $ = (id) => document.getElementById(id);

// The acquisition controls. Every request answers with the new state, or
// with the reason it was refused, which is shown.
export class Controls {
  constructor({ onState, onMessage }) {
    this.onState = onState;
    this.onMessage = onMessage;
    this.running = true;
    $('run').addEventListener('click', () => this.send('acquisition', { running: !this.running }));
    $('apply').addEventListener('click', () => this.send('settings', {
      exposureUs: Number($('exposure').value),
      averaging: Number($('averaging').value),
    }));
    $('dark-take').addEventListener('click', () => this.dark('all', 'take'));
    $('dark-on').addEventListener('click', () => this.dark('all', 'on'));
    $('dark-off').addEventListener('click', () => this.dark('all', 'off'));
    $('reference').addEventListener('click', () => this.reference('all'));
    $('trigger').addEventListener('change', () => this.send('trigger', { mode: $('trigger').value }));
  }

  dark(device, action) {
    return this.send('dark', { device, action });
  }

  reference(device) {
    return this.send('reference', { device });
  }

  async send(path, body) {
    try {
      this.onMessage('');
      this.show(await post(path, body));
    } catch (error) {
      this.onMessage(`${path}: ${error.message}`);
    }
  }

  show(state) {
    this.running = state.running;
    $('run').textContent = state.running ? 'Pause' : 'Start';
    for (const [id, value] of [['exposure', state.exposureUs], ['averaging', state.averaging]]) {
      if (document.activeElement !== $(id)) {
        $(id).value = value;
      }
    }
    $('exposure').max = state.maxExposureUs;
    $('averaging').max = state.maxAveraging;
    $('trigger').value = state.triggerMode;
    this.onState(state);
  }
}
