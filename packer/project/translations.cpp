// The texts of every language we ship, written for this installer by its own team.
// One term per concept within a language: the word on a button is the word the
// messages use for it (the "OK" the password message names is the button's caption).
// Each text is held to its limits by check_text, and the unit tests run every one of
// them through it.
#include "packer/project/languages.h"

namespace kelvra::pack {

namespace {

// In TextKey order: replace, replace_all, skip, skip_all, file_exists, all_files,
// new_name, ok, cancel, out_of_memory, corrupted, inflating, cancelled, bad_password,
// needs_password, directory_missing, expand_to, password, write_failed, dialog_title,
// rename, stop_asking.
struct Translation {
  const char* tag;
  const char* texts[text_key_count];
};

const Translation translations[] = {
    {"de",
     {"Ersetzen", "Alle ersetzen", "Überspringen", "Alle überspringen", "Datei bereits vorhanden:\n\t",
      "Alle Dateien", "Neuer Name", "OK", "Abbrechen", "Nicht genug Arbeitsspeicher", "Diese Datei ist beschädigt.",
      "  Entpacke: ", "Vom Benutzer abgebrochen.", "Falsches Kennwort.",
      "Diese ZIP-Datei verlangt ein Kennwort.\n\nGeben Sie das Kennwort ein und klicken Sie dann auf „OK“.",
      "Der Ordner existiert nicht.", "Ordner:", "Kennwort:", "Schreibfehler!", "Datei vorhanden",
      "Umbenennen", "Nicht mehr fragen"}},
    {"fr",
     {"Remplacer", "Tout remplacer", "Ignorer", "Tout ignorer", "Le fichier existe déjà :\n\t",
      "Tous les fichiers", "Nouveau nom", "OK", "Annuler", "Mémoire insuffisante", "Ce fichier est endommagé.",
      "  décompression : ", "Annulé par l'utilisateur.", "Code incorrect.",
      "Ce fichier zip demande un code.\n\nSaisissez le code du fichier, puis cliquez sur « OK ».",
      "Le dossier n'existe pas.", "Dossier :", "Code :", "Échec d'écriture !", "Fichier existant", "Renommer",
      "Ne plus demander"}},
    {"es",
     {"Reemplazar", "Reemplazar todos", "Omitir", "Omitir todos", "El archivo ya existe:\n\t",
      "Todos los archivos", "Nuevo nombre", "Aceptar", "Cancelar", "Memoria insuficiente",
      "Este archivo está dañado.", "  descomprimiendo: ", "Cancelado por el usuario.", "Clave incorrecta.",
      "Este archivo zip requiere una clave.\n\nEscriba la clave del archivo y haga clic en “Aceptar”.",
      "La carpeta no existe.", "Carpeta:", "Clave:", "¡Error de escritura!", "El archivo existe",
      "Cambiar nombre", "No volver a preguntar"}},
    {"it",
     {"Sostituisci", "Sostituisci tutti", "Salta", "Salta tutti", "Il file esiste già:\n\t", "Tutti i file",
      "Nuovo nome", "OK", "Annulla", "Memoria insufficiente", "Questo file è danneggiato.", "  estrazione: ",
      "Annullato dall'utente.", "Password errata.",
      "Questo file zip richiede una password.\n\nImmettere la password del file, quindi fare clic su «OK».",
      "La cartella non esiste.", "Cartella:", "Password:", "Errore di scrittura!", "File esistente", "Rinomina",
      "Non chiedere più"}},
    {"pt-BR",
     {"Substituir", "Substituir todos", "Ignorar", "Ignorar todos", "O arquivo já existe:\n\t",
      "Todos os arquivos", "Novo nome", "OK", "Cancelar", "Memória insuficiente", "Este arquivo está corrompido.",
      "  extraindo: ", "Cancelado pelo usuário.", "Senha incorreta.",
      "Este arquivo zip exige uma senha.\n\nDigite a senha do arquivo e clique em “OK”.", "A pasta não existe.",
      "Pasta:", "Senha:", "Erro de gravação!", "Arquivo existente", "Renomear", "Não perguntar mais"}},
    {"nl",
     {"Vervangen", "Alles vervangen", "Overslaan", "Alles overslaan", "Bestand bestaat al:\n\t", "Alle bestanden",
      "Nieuwe naam", "OK", "Annuleren", "Onvoldoende geheugen", "Dit bestand is beschadigd.", "  uitpakken: ",
      "Geannuleerd door gebruiker.", "Onjuiste code.",
      "Dit zip-bestand vraagt om een code.\n\nVoer de code van het bestand in en klik op 'OK'.",
      "De map bestaat niet.", "Map:", "Code:", "Schrijffout!", "Bestand bestaat", "Naam wijzigen",
      "Niet meer vragen"}},
    {"pl",
     {"Zastąp", "Zastąp wszystkie", "Pomiń", "Pomiń wszystkie", "Plik już istnieje:\n\t", "Wszystkie pliki",
      "Nowa nazwa", "OK", "Anuluj", "Za mało pamięci", "Ten plik jest uszkodzony.", "  rozpakowywanie: ",
      "Anulowane przez użytkownika.", "Nieprawidłowe hasło.",
      "Ten plik zip wymaga hasła.\n\nWpisz hasło pliku, a następnie kliknij „OK”.", "Folder nie istnieje.",
      "Folder:", "Hasło:", "Błąd zapisu!", "Plik istnieje", "Zmień nazwę", "Nie pytaj więcej"}},
    {"cs",
     {"Nahradit", "Nahradit vše", "Přeskočit", "Přeskočit vše", "Soubor již existuje:\n\t", "Všechny soubory",
      "Nový název", "OK", "Zrušit", "Nedostatek paměti", "Tento soubor je poškozený.", "  rozbaluji: ",
      "Zrušeno uživatelem.", "Nesprávné heslo.",
      "Tento soubor zip vyžaduje heslo.\n\nZadejte heslo souboru a potom klikněte na „OK“.",
      "Složka neexistuje.", "Složka:", "Heslo:", "Chyba zápisu!", "Soubor existuje", "Přejmenovat",
      "Už se neptat"}},
    {"ru",
     {"Заменить", "Заменить все", "Пропустить", "Пропустить все", "Файл уже существует:\n\t", "Все файлы",
      "Новое имя", "OK", "Отмена", "Недостаточно памяти", "Этот файл повреждён.", "  распаковка: ",
      "Отменено пользователем.", "Неверный пароль.",
      "Этот zip-файл защищён паролем.\n\nВведите пароль файла и нажмите «OK».", "Папка не существует.",
      "Папка:", "Пароль:", "Ошибка записи!", "Файл существует", "Переименовать", "Больше не спрашивать"}},
    {"uk",
     {"Замінити", "Замінити все", "Пропустити", "Пропустити все", "Файл уже існує:\n\t", "Усі файли",
      "Нове ім'я", "OK", "Скасувати", "Недостатньо пам'яті", "Цей файл пошкоджено.", "  розпакування: ",
      "Скасовано користувачем.", "Неправильний пароль.",
      "Цей zip-файл захищено паролем.\n\nВведіть пароль файлу й натисніть «OK».", "Папка не існує.", "Папка:",
      "Пароль:", "Помилка запису!", "Файл існує", "Перейменувати", "Більше не питати"}},
    {"tr",
     {"Değiştir", "Tümünü değiştir", "Atla", "Tümünü atla", "Dosya zaten var:\n\t", "Tüm dosyalar", "Yeni ad",
      "Tamam", "İptal", "Bellek yetersiz", "Bu dosya bozuk.", "  açılıyor: ", "Kullanıcı iptal etti.",
      "Parola yanlış.",
      "Bu zip dosyası bir parola istiyor.\n\nDosyanın parolasını girin, ardından \"Tamam\" düğmesine tıklayın.",
      "Klasör yok.", "Klasör:", "Parola:", "Yazma hatası!", "Dosya var", "Yeniden adlandır", "Bir daha sorma"}},
    {"ja",
     {"置換", "すべて置換", "スキップ", "すべてスキップ", "ファイルは既にあります:\n\t", "すべてのファイル",
      "新しい名前", "OK", "中止", "メモリが不足しています", "このファイルは壊れています。", "  展開中: ",
      "ユーザーが中止しました。", "パスワードが違います。",
      "このzipファイルにはパスワードが必要です。\n\nパスワードを入力して「OK」をクリックしてください。",
      "展開先のフォルダーがありません。", "展開先:", "ﾊﾟｽﾜｰﾄﾞ:", "書き込みに失敗しました。", "既存のファイル",
      "名前の変更", "今後は確認しない"}},
    {"ko",
     {"바꾸기", "모두 바꾸기", "건너뛰기", "모두 건너뛰기", "파일이 이미 있습니다:\n\t", "모든 파일", "새 이름",
      "확인", "취소", "메모리가 부족합니다", "이 파일은 손상되었습니다.", "  압축 푸는 중: ",
      "사용자가 취소했습니다.", "암호가 틀렸습니다.",
      "이 zip 파일에는 암호가 필요합니다.\n\n암호를 입력한 다음 '확인'을 누르십시오.", "폴더가 없습니다.",
      "폴더:", "암호:", "쓰기에 실패했습니다.", "파일이 있음", "이름 바꾸기", "다시 묻지 않기"}},
    {"zh-CN",
     {"替换", "全部替换", "跳过", "全部跳过", "文件已存在:\n\t", "所有文件", "新名称", "确定", "取消",
      "内存不足", "此文件已损坏。", "  正在解压: ", "用户已取消。", "密码不正确。",
      "此 zip 文件需要密码。\n\n请输入文件密码，然后单击“确定”。", "目标文件夹不存在。", "解压到:", "密码:",
      "写入失败！", "文件已存在", "重命名", "不再询问"}},
    {"zh-TW",
     {"取代", "全部取代", "略過", "全部略過", "檔案已存在:\n\t", "所有檔案", "新名稱", "確定", "取消",
      "記憶體不足", "此檔案已損毀。", "  正在解壓縮: ", "使用者已取消。", "密碼不正確。",
      "此 zip 檔案需要密碼。\n\n請輸入檔案密碼，然後按一下「確定」。", "目標資料夾不存在。", "解壓縮至:",
      "密碼:", "寫入失敗！", "檔案已存在", "重新命名", "不再詢問"}},
};

}  // namespace

bool shipped_texts(const std::string& tag, Texts* texts) {
  for (const Translation& translation : translations) {
    if (tag != translation.tag) continue;
    for (std::size_t key = 0; key < text_key_count; ++key) (*texts)[key] = translation.texts[key];
    return true;
  }
  return false;
}

}  // namespace kelvra::pack
