// The page of every headset of a session: each headset's own page, served
// by its own port with its own token, in a frame, side by side. The ports
// and tokens come in the address's fragment ("#8001=TOKEN&8002=TOKEN"),
// which the browser never sends to a server; they move at once out of the
// address bar into this tab's session storage, so that a reload still
// finds them.
'use strict';

const pages = (() => {
  const fromAddress = location.hash.slice(1);
  if (fromAddress) {
    sessionStorage.setItem('calyra-pages', fromAddress);
    history.replaceState(null, '', location.pathname);
  }
  const text = fromAddress || sessionStorage.getItem('calyra-pages') || '';
  return text.split('&').map((entry) => entry.split('='))
    .filter(([port, token]) => /^[0-9]{1,5}$/.test(port) && /^[0-9a-f]+$/.test(token || ''));
})();

if (pages.length > 0) {
  document.getElementById('state').remove();
  const grid = document.getElementById('headsets');
  // As square as the count allows: two side by side, four in two rows.
  const columns = Math.ceil(Math.sqrt(pages.length));
  grid.style.gridTemplateColumns = `repeat(${columns}, minmax(0, 1fr))`;
  grid.style.gridTemplateRows = `repeat(${Math.ceil(pages.length / columns)}, minmax(0, 1fr))`;
  for (const [port, token] of pages) {
    const frame = document.createElement('iframe');
    // location.hostname keeps the brackets of an IPv6 address.
    frame.src = `${location.protocol}//${location.hostname}:${port}/?token=${token}`;
    frame.title = `the headset on port ${port}`;
    grid.appendChild(frame);
  }
}
