// Servers and profiles edited as an administrator does it: a server added
// (the digits-only inputs refuse letters), edited and deleted through the
// confirmation dialog; a profile added and given attributes through the
// vendor and attribute selections, one of them a date typed as a date.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import {
  chooseFirstPassword, loads, openBrowser, openPage, pressContinue, screenshot, startSite,
} from './support.mjs';

// The list's rows below its headings, cells joined.
const rows = page => page.$$eval('table.LIST tr:has(td):not(:has(th))', trs => trs.map(tr =>
  [...tr.querySelectorAll('td')].map(td => td.textContent.trim()).filter(Boolean).join(' | '))
  .filter(row => !row.includes('New attribute')));

test('servers and profiles', { timeout: 60000 }, async t => {
  const site = await startSite(t);
  const { page, dialogs } = await openBrowser(t);
  await chooseFirstPassword(page, site.url);

  await openPage(page, 'RADIUS servers');
  await loads(page, () => page.click('a[href=servers_edit]'));
  await page.fill('input[name=name]', 'radius-1.example.net');
  await page.fill('input[name=secret]', 's3cret');
  await page.fill('input[name=authport]', '');
  await page.locator('input[name=authport]').pressSequentially('18a1b2');
  assert.equal(await page.inputValue('input[name=authport]'), '1812', 'onlynumbers drops the letters');
  await page.locator('input[name=timeout]').pressSequentially('x');
  assert.equal(await page.inputValue('input[name=timeout]'), '3');
  await pressContinue(page);
  assert.deepEqual(await rows(page), ['X | radius-1.example.net | 1812 | 1646 | 2 | 3']);

  await loads(page, () => page.click('a:text-is("radius-1.example.net")'));
  assert.equal(await page.textContent('form b'), 'radius-1.example.net', 'an existing name is fixed');
  await page.fill('input[name=retries]', '4');
  await pressContinue(page);
  assert.deepEqual(await rows(page), ['X | radius-1.example.net | 1812 | 1646 | 4 | 3']);

  // Delete asks first: "no" keeps the server, "yes" removes it.
  dialogs.answers.push(false);
  await page.click('a[href^="javascript:ask"]');
  await page.waitForTimeout(300);
  assert.deepEqual(await rows(page), ['X | radius-1.example.net | 1812 | 1646 | 4 | 3']);
  await loads(page, () => page.click('a[href^="javascript:ask"]'));
  assert.deepEqual(dialogs.seen, ['confirm: Confirm Delete?', 'confirm: Confirm Delete?']);
  assert.deepEqual(await rows(page), []);

  await openPage(page, 'Request profiles');
  await loads(page, () => page.click('a[href=profiles_edit]'));
  await page.fill('input[name=name]', 'Roaming');
  await page.selectOption('select[name=role]', { label: 'Accounting' });
  await page.selectOption('select[name=authmethod]', { label: 'CHAP' });
  await pressContinue(page);
  assert.ok((await rows(page)).includes('X | Roaming | Attributes | Accounting | CHAP'));

  await loads(page, () => page.click('a[href="attributes?name=Roaming"]'));
  await loads(page, () => page.click('a:text-is("New attribute")'));
  assert.equal(await page.inputValue('select[name=vendorid]'), '0');
  assert.equal(await page.inputValue('select[name=attributeid]'), '1');
  assert.match(await page.textContent('form'), /String/);
  // Choosing the attribute reloads the editor with the data field of its type.
  await loads(page, () => page.selectOption('select[name=attributeid]', { label: 'Event-Time' }));
  assert.match(await page.textContent('form'), /Date/);
  await page.fill('input[name=data]', '12/06/2026 10:30');
  await pressContinue(page);

  // A vendor without the chosen attribute number: the editor reloads itself
  // on the vendor's first attribute.
  await loads(page, () => page.click('a:text-is("New attribute")'));
  await loads(page, () => page.selectOption('select[name=vendorid]', { label: 'Cisco' }));
  await page.waitForFunction(() => document.forms[0].data !== undefined &&
    document.forms[0].attributeid.value === '24');
  await page.fill('input[name=data]', 'conf-7');
  await pressContinue(page);
  assert.deepEqual(await rows(page), [
    'X | 1 | Standard | Event-Time | 12/06/2026 10:30',
    'X | 2 | Cisco | h323-conf-id | conf-7',
  ]);
  await screenshot(page, 'attributes');
});
