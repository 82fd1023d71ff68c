// Talks to the velmor view server. The access token, when the server wants
// one, arrives in the page's address and goes with every request.

const token = new URLSearchParams(location.search).get('token') ?? '';

function headers(extra = {}) {
  return token ? { ...extra, Authorization: `Bearer ${token}` } : extra;
}

async function answer(response) {
  const body = await response.json().catch(() => ({}));
  if (!response.ok) {
    throw new Error(body.error ?? `the server answered ${response.status}`);
  }
  return body;
}

export async function getWavelengths() {
  return answer(await fetch('/api/wavelengths', { headers: headers() }));
}

export async function getState() {
  return answer(await fetch('/api/state', { headers: headers(), cache: 'no-store' }));
}

// Sends one control request; resolves to the new state, or rejects with
// the server's reason.
export async function post(path, body) {
  return answer(await fetch(`/api/${path}`, {
    method: 'POST',
    headers: headers({ 'Content-Type': 'application/json' }),
    body: JSON.stringify(body),
  }));
}

// Opens the live stream in one display mode. EventSource reconnects by
// itself after a lost connection.
export function openStream(mode, { onFrame, onOpen, onLost }) {
  const query = new URLSearchParams({ mode });
  if (token) {
    query.set('token', token);
  }
  const source = new EventSource(`/api/stream?${query}`);
  source.onmessage = (event) => onFrame(JSON.parse(event.data));
  source.onopen = onOpen;
  source.onerror = onLost;
  return source;
}
