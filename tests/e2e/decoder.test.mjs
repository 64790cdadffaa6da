// A captured packet's attribute section pasted into the decoder, shown as a
// table, then added to a profile, whose attribute list now holds it.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import {
  chooseFirstPassword, loads, openBrowser, openPage, pressContinue, screenshot, startSite,
} from './support.mjs';

// User-Name "bob", NAS-Port 7, Reply-Message "Hi there", as a capture tool prints them.
const capture = '01 05 62 6f 62\n05 06 00 00 00 07\n12 0a 48 69 20 74 68 65 72 65';

test('decoder: paste, decode, add to a profile', { timeout: 60000 }, async t => {
  const site = await startSite(t);
  const { page } = await openBrowser(t);
  await chooseFirstPassword(page, site.url);

  await openPage(page, 'RADIUS packet decoder');
  await page.fill('textarea[name=data]', capture);
  await pressContinue(page);
  const decoded = await page.$$eval('table.LIST tr:not(:has(select))', trs => trs.slice(1).map(tr => tr.textContent));
  assert.deepEqual(decoded, ['StandardUser-Name"bob"', 'StandardNAS-Port7', 'StandardReply-Message"Hi there"']);
  assert.equal(await page.inputValue('textarea[name=data]'), capture, 'the pasted text stays');
  assert.equal(await page.textContent('select[name=profile] option[value=""]'), "[Don't add]");
  await page.selectOption('select[name=profile]', 'Accounting');
  await screenshot(page, 'decoder');
  await pressContinue(page);
  assert.match(await page.textContent('body'), /Attributes successfully added to profile 'Accounting'/);

  await openPage(page, 'Request profiles');
  await loads(page, () => page.click('a[href="attributes?name=Accounting"]'));
  const data = await page.$$eval('table.LIST tr', trs => trs.map(tr => tr.textContent));
  for (const row of ['StandardUser-Namebob', 'StandardNAS-Port7', 'StandardReply-MessageHi there'])
    assert.ok(data.some(text => text.endsWith(row)), `${row} in ${data}`);
});
