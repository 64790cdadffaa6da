// A fresh install: the administrator chooses the password, mistypes the
// confirmation once, meets the browser's password prompt, and sees the
// welcome page that asks for the data directory.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { httpGet, loads, openBrowser, password, screenshot, startSite } from './support.mjs';

test('first use: choosing the password', { timeout: 60000 }, async t => {
  const site = await startSite(t, { dataDirectory: false });
  const { page } = await openBrowser(t);

  await page.goto(site.url);
  assert.match(await page.textContent('body'), /Please choose a password to access this administration server/);
  await page.fill('input[name=pass1]', password);
  await page.fill('input[name=pass2]', password + 'x');
  await loads(page, () => page.click('input[type=submit]'));
  assert.equal(await page.textContent('font[color="#ee5555"]'),
    "Password & confirm don't match.  Please try again.");
  assert.equal(await page.inputValue('input[name=pass1]'), '', 'the form comes back empty');
  await screenshot(page, 'first-use-mismatch');

  // A matching pair is stored; the page that follows asks for it, and the
  // browser's prompt (answered by the context) lets us in.
  await page.fill('input[name=pass1]', password);
  await page.fill('input[name=pass2]', password);
  await loads(page, () => page.click('input[type=submit]'));
  assert.equal(await page.title(), 'Welcome');
  assert.match(await page.textContent('h5'), /^Welcome to Vantor v4\.0\.11/);
  assert.match(await page.textContent('body'),
    /Error: The RADIUS test client server process has not started\.\. Please verify 'RADIUS Data directory'/);
  assert.deepEqual(await page.$$eval('a', links => links.map(a => a.textContent)), ['Settings']);
  await screenshot(page, 'first-use-welcome');

  // The password now guards every page: without it the site answers 401.
  assert.match(await httpGet(site.url), /^HTTP\/1.0 401 /);
});
