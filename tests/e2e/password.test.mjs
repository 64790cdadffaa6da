// The administration password changed on its page: untouched fields and a
// mistyped confirmation change nothing; a matching pair does, after which the
// old password is refused and the new one lets a fresh browser in.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import {
  chooseFirstPassword, httpGet, openBrowser, openPage, password, pressContinue, screenshot, startSite,
} from './support.mjs';

const basic = pass => `Authorization: Basic ${Buffer.from(`admin:${pass}`).toString('base64')}\r\n`;
const status = async (url, pass) => (await httpGet(url, basic(pass))).split(' ')[1];

test('password change', { timeout: 60000 }, async t => {
  const site = await startSite(t);
  const { page } = await openBrowser(t);
  await chooseFirstPassword(page, site.url);
  const renewed = 'Osprey-2026';

  await openPage(page, 'Change password');
  assert.equal(await page.inputValue('input[name=tPassword]'), 'NOCHANGE');
  await pressContinue(page);
  await page.fill('input[name=tPassword]', renewed);
  await page.fill('input[name=tConfirmPassword]', renewed + '!');
  await screenshot(page, 'password');
  await pressContinue(page);
  assert.doesNotMatch(await page.textContent('body'), /Password changed successfully/);
  assert.equal(await status(site.url, password), '200', 'NOCHANGE and a mismatch keep the password');

  await page.fill('input[name=tPassword]', renewed);
  await page.fill('input[name=tConfirmPassword]', renewed);
  await pressContinue(page);
  assert.match(await page.textContent('body'), /Password changed successfully/);
  assert.equal(await page.$('input[name=continue]'), null);

  assert.equal(await status(site.url, password), '401');
  assert.equal(await status(site.url, renewed), '200');
  // This browser still offers the old password and is turned away; a browser
  // that knows the new one gets in.
  await assert.rejects(page.goto(site.url), /ERR_HTTP_RESPONSE_CODE_FAILURE/);
  const fresh = await openBrowser(t, renewed);
  assert.equal((await fresh.page.goto(site.url)).status(), 200);
  assert.equal(await fresh.page.title(), 'Welcome');
});
