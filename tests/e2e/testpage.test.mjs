// The test page as an administrator uses it: the profile chosen from the
// selection (its onChange resubmits the form and brings back the values typed
// for that profile before), a single request, then a batch of 100.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import {
  chooseFirstPassword, loads, openBrowser, openPage, pressContinue, radius, screenshot, secret, startSite,
} from './support.mjs';

// Two authentication profiles (PAP); Branch asks for a variable of its own.
const blank = '\xB3';
const profiles = [
  ['Branch', 'P', 1, 1, blank, blank, blank], ['Branch', 'A', 1, 32, 0, '$site', 0],
  ['Plain', 'P', 1, 1, blank, blank, blank], ['Plain', 'A', 1, 4, 0, '127.0.0.1', 0],
].map(row => row.join('\t') + '\t\n').join('');

test('test page: single request and a batch', { timeout: 60000 }, async t => {
  const { auth, acct } = radius();
  const site = await startSite(t, { servers: [['127.0.0.1', secret, auth, acct, 2, 0]], profiles });
  const { page } = await openBrowser(t);
  await chooseFirstPassword(page, site.url);

  // The first visit resubmits itself once to show the first profile's fields.
  await openPage(page, 'Vantor');
  await page.waitForSelector('input[name=Login]');
  await loads(page, () => page.selectOption('select[name=profile]', 'Branch'));
  await page.fill('input[name=Login]', 'alice');
  await page.fill('input[name=Password]', 'alicepw');
  await page.fill('input[name=site]', 'north');
  await pressContinue(page);
  assert.match(await page.textContent('body'), /Status: Good\s*Resp Time: \d+ ms/);
  assert.match(await page.textContent('body'), /NAS-Identifier\s*"north"/, 'the variable reached the request');
  await screenshot(page, 'test-single');

  // Another profile and back: Branch's values come back as they were typed.
  await loads(page, () => page.selectOption('select[name=profile]', 'Plain'));
  assert.equal(await page.$('input[name=site]'), null);
  await loads(page, () => page.selectOption('select[name=profile]', 'Branch'));
  assert.equal(await page.inputValue('input[name=site]'), 'north');
  assert.equal(await page.inputValue('input[name=Login]'), 'alice');

  await page.fill('input[name=Password]', 'wrong');
  await pressContinue(page);
  assert.match(await page.textContent('body'), /Status: Bad/);

  await page.fill('input[name=Password]', 'alicepw');
  await page.selectOption('select[name=iterations]', { label: '100 requests' });
  await pressContinue(page);
  const progress = await page.$$eval('div.LIST', lines => lines.map(l => l.textContent));
  assert.match(progress.at(-1),
    /^Complete: \d+ to 100 \[%100\.00\] Response: [\d.]+ ms \(AVG\) \[Good:100 Bad:0 Timeout:0 Error:0\]$/);
  await screenshot(page, 'test-batch');
});
