// Two monitors added through the edit page, one for the private FreeRADIUS and
// one for a port that never answers: the list refreshes itself while the rows
// turn OK, TIMEOUT and DOWN, and the down notice reaches the SMTP sink.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import {
  chooseFirstPassword, eventually, loads, openBrowser, openPage, pressContinue, radius, screenshot,
  secret, silentPort, sinkMessages, startSite,
} from './support.mjs';

test('monitoring', { timeout: 60000 }, async t => {
  const { auth, acct } = radius();
  const quiet = await silentPort(t);
  const site = await startSite(t, {
    servers: [['127.0.0.1', secret, auth, acct, 2, 0], ['127.0.0.2', secret, quiet, quiet, 1, 0]],
    settings: 'vnsmtp=127.0.0.1\nvnmailfrom=vantor@example.com\nvnmonitorrefresh=1\n',
  });
  const { page } = await openBrowser(t);
  await chooseFirstPassword(page, site.url);
  const recipient = `ops-${process.pid}@example.com`;

  const addMonitor = async (name, server, email) => {
    await openPage(page, 'Server monitoring');
    await loads(page, () => page.click('a[href=scoreboards_edit]'));
    assert.equal(await page.inputValue('input[name=timeout_down]'), '60', 'defaults of a new monitor');
    await page.fill('input[name=name]', name);
    await page.selectOption('select[name=hostname]', server);
    await page.fill('input[name=username]', 'alice');
    await page.fill('input[name=password]', 'alicepw');
    await page.fill('input[name=email]', email);
    await page.selectOption('select[name=profile]', 'Authentication');
    for (const [field, value] of [['chkinterval_normal', '1'], ['chkinterval_down', '1'],
      ['timeout_down', '6'], ['timeout_notify', '3']]) await page.fill(`input[name=${field}]`, value);
    await pressContinue(page);
  };
  await addMonitor('core', '127.0.0.1', '');
  await addMonitor('quiet', '127.0.0.2', recipient);

  // Nobody navigates from here on: the list reloads itself every second.
  let reloads = 0;
  page.on('load', () => { reloads++; });
  const row = name => page.textContent(`table.LIST tr:has(a:text-is("${name}"))`).catch(() => '');
  const rowId = name => page.getAttribute(`table.LIST tr:has(a:text-is("${name}"))`, 'id').catch(() => '');
  const states = new Set();
  await eventually('the quiet server goes down', async () => {
    states.add(await rowId('quiet'));
    return /DOWN: \d+ missed, Last contact: \d+ secs/.test(await row('quiet'));
  });
  assert.ok(states.has('timeout'), `the quiet row timed out before going down: ${[...states]}`);
  assert.equal(await rowId('core'), 'ok');
  assert.match(await row('core'), /core127\.0\.0\.1AuthenticationOK\d+ ms\d+ ms100\.000%/);
  assert.ok(reloads >= 2, `the list reloaded itself (${reloads} times)`);
  await screenshot(page, 'monitoring');

  await eventually('the down notice arrives', () =>
    sinkMessages().some(m => m.includes(`To:${recipient}\r\n`) &&
      m.includes('Subject:[VANTOR] quiet is DOWN\r\n')));
});
