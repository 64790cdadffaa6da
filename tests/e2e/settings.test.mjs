// A fresh install made useful: the administrator names the data directory,
// watches the navigation grow once the engine starts, then changes the date
// format and separator and clears the default profile.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { mkdirSync, readFileSync } from 'node:fs';
import { join } from 'node:path';
import {
  chooseFirstPassword, eventually, loads, openBrowser, openPage, pressContinue, screenshot, startSite,
} from './support.mjs';

const links = page => page.$$eval('a', all => all.map(a => a.textContent));

test('settings: data directory, date format, default profile', { timeout: 60000 }, async t => {
  const site = await startSite(t, { dataDirectory: false });
  const { page } = await openBrowser(t);
  await chooseFirstPassword(page, site.url);
  await openPage(page, 'Settings');
  assert.equal(await page.$('select[name=vndefaultprof]'), null, 'no profile choice before the engine runs');

  mkdirSync(site.data);
  await page.fill('input[name=DataDirectory]', site.data);
  await pressContinue(page);
  assert.match(await page.textContent('body'), /Settings updated successfully/);
  // The engine starts on the new directory (the saving page returns to "/"
  // by itself while it has not yet), and the navigation bar offers every page.
  await eventually('the engine starts', async () => {
    await page.goto(site.url);
    return (await links(page)).length > 1;
  });
  assert.deepEqual(await links(page), ['Settings', 'RADIUS servers', 'Add', 'Request profiles', 'Add',
    'Server monitoring', 'Add', 'Vantor', 'RADIUS packet decoder', 'Change password', 'Write config']);
  assert.match(await page.textContent('body'), /There are no RADIUS servers currently defined/);

  await openPage(page, 'Settings');
  assert.equal(await page.$('input[name=DataDirectory]'), null, 'the directory is fixed once running');
  assert.equal(await page.inputValue('select[name=vndateformat]'), '5');
  await page.selectOption('select[name=vndateformat]', { label: 'CCYYMMDD' });
  await page.selectOption('select[name=vndatesep]', '-');
  await page.selectOption('select[name=vndefaultprof]', 'Accounting');
  await screenshot(page, 'settings');
  await pressContinue(page);
  const ini = () => readFileSync(join(site.dir, 'radiusd.ini'), 'utf8');
  assert.match(ini(), /^vndateformat=7$/m);
  assert.match(ini(), /^vndatesep=-$/m);
  assert.match(ini(), /^vndefaultprof=Accounting$/m);
  assert.match(ini(), new RegExp(`^DataDirectory=${site.data}$`, 'm'));

  // "[None]" posts an empty value, and the commit deletes the key. The file
  // rules make that delete stop at the first line holding a "[", which the
  // default mail subject "[VANTOR] ..." puts right below the newest entries:
  // the older "vndefaultprof" line further down survives, and reads find it.
  await openPage(page, 'Settings');
  assert.equal(await page.inputValue('select[name=vndefaultprof]'), 'Accounting');
  assert.equal(await page.textContent('select[name=vndefaultprof] option[value=""]'), '[None]');
  await page.selectOption('select[name=vndefaultprof]', '');
  const posted = page.waitForRequest(r => r.method() === 'POST');
  await pressContinue(page);
  assert.match((await posted).postData(), /(^|&)vndefaultprof=(&|$)/);
  assert.match(ini(), /\[VANTOR\][^]*^vndefaultprof=Accounting$/m);
  await openPage(page, 'Settings');
  assert.equal(await page.inputValue('select[name=vndateformat]'), '7');
});
